#include "terminal.h"

#include "files.h"
#include "platform.h"

#include <QProcess>
#include <QStandardPaths>

#include <unistd.h>

namespace cordavelle {

QString Terminal::scriptFolder() const
{
    // The shared temporary folder is open to every user; the per-user folder inside it is not.
    const QString folder = Platform::current().paths().temporary() + QStringLiteral("/cordavelle-helper-")
                           + QString::number(::geteuid());
    makePrivateFolder(folder);
    return folder;
}

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
