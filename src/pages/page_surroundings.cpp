#include "pages/page_surroundings.h"

#include "base/helper_error.h"
#include "base/tool_lookup.h"
#include "pages/program_dialog.h"
#include "platform/program_file.h"
#include "widgets/alert_presenter.h"

#include <QFileDialog>

namespace cordavelle {

std::vector<SerialPort> SystemPageSurroundings::listSerialPorts() { return SerialPortManager::listPorts(); }

std::optional<QString> SystemPageSurroundings::findRigctld() { return tools::findRigctld(); }

QString SystemPageSurroundings::chooseProgram(QWidget *parent, const QString &title, const QString &message,
                                              const QString &folder)
{
    const std::unique_ptr<QFileDialog> dialog = makeProgramDialog(parent, title, message, folder);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) {
        return {};
    }
    return dialog->selectedFiles().constFirst();
}

QString chooseUsableProgram(PageSurroundings &surroundings, AlertPresenter &alerts, QWidget *parent,
                            const QString &program, const QString &title, const QString &message,
                            const QString &folder)
{
    const QString chosen = surroundings.chooseProgram(parent, title, message, folder);
    if (chosen.isEmpty()) {
        return {};
    }
    const ProgramFile file = inspectProgramFile(chosen);
    const std::optional<QString> refusal =
        file.changeable ? HelperError::programChangeableByOthers(program, chosen, *file.changeable).description()
                        : file.unusable;
    if (!refusal) {
        return chosen;
    }
    alerts.present({Alert::Style::warning, QStringLiteral("Can't Use This Program"), *refusal, {QStringLiteral("OK")}});
    return {};
}

} // namespace cordavelle
