#include "pages/page_surroundings.h"

#include "base/helper_error.h"
#include "base/helper_logger.h"
#include "base/tool_lookup.h"
#include "pages/program_dialog.h"
#include "platform/program_file.h"
#include "widgets/alert_presenter.h"

#include <QFileDialog>
#include <QPointer>

namespace cordavelle {

std::vector<SerialPort> SystemPageSurroundings::listSerialPorts() { return SerialPortManager::listPorts(); }

ProgramSearch SystemPageSurroundings::lookUpRigctld() { return tools::lookUpRigctld(); }

QString SystemPageSurroundings::chooseProgram(QWidget *parent, const QString &title, const QString &message,
                                              const QString &folder)
{
    // The page that asks may go while the dialog's loop runs, and takes the dialog, its child,
    // with it: the dialog is watched from here, never owned beside its parent.
    const QPointer<QWidget> asker(parent);
    const QPointer<QFileDialog> dialog = makeProgramDialog(title, message, folder).release();
    dialog->setParent(parent, dialog->windowFlags());
    const int result = dialog->exec();
    if (!dialog || (parent && !asker)) {
        HelperLogger::info(QStringLiteral("The dialog \"%1\" was dismissed: the window it belonged to went").arg(title));
        delete dialog.data();
        return {};
    }
    const QStringList chosen = result == QDialog::Accepted ? dialog->selectedFiles() : QStringList();
    delete dialog.data();
    return chosen.isEmpty() ? QString() : chosen.constFirst();
}

std::optional<QString> programRefusal(const QString &program, const QString &path, const QString &workingFolder)
{
    const ProgramFile file = inspectProgramFile(path, ProgramUse::run, {}, {}, workingFolder);
    return file.changeable ? HelperError::programChangeableByOthers(program, path, *file.changeable).description()
                           : file.unusable;
}

QString chooseUsableProgram(PageSurroundings &surroundings, AlertPresenter &alerts, QWidget *parent,
                            const QString &program, const QString &title, const QString &message,
                            const QString &folder, const QString &workingFolder)
{
    const QString chosen = surroundings.chooseProgram(parent, title, message, folder);
    if (chosen.isEmpty()) {
        return {};
    }
    const std::optional<QString> refusal = programRefusal(program, chosen, workingFolder);
    if (!refusal) {
        return chosen;
    }
    alerts.present({Alert::Style::warning, QStringLiteral("Can't Use This Program"), *refusal, {QStringLiteral("OK")}},
                   parent);
    return {};
}

} // namespace cordavelle
