#include "pages/page_surroundings.h"

#include "base/tool_lookup.h"
#include "pages/program_dialog.h"

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

} // namespace cordavelle
