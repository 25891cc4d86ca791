#include "terminal.h"

#include <QProcess>
#include <QStandardPaths>

namespace cordavelle {

bool LinuxTerminal::openScript(const QString &scriptPath)
{
    QString program = qEnvironmentVariable("TERMINAL");
    if (program.isEmpty()) {
        program = QStringLiteral("x-terminal-emulator");
    }
    const QString found = QStandardPaths::findExecutable(program);
    if (found.isEmpty()) {
        return false;
    }
    return QProcess::startDetached(found, {QStringLiteral("-e"), scriptPath});
}

} // namespace cordavelle
