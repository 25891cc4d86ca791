#include "terminal.h"

#include "platform.h"

#include <QProcess>
#include <QStandardPaths>

namespace cordavelle {

QString Terminal::scriptFolder() const { return Platform::current().paths().privateTemporary(); }

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
