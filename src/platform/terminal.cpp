#include "terminal.h"

#include <QProcess>
#include <QStandardPaths>

namespace cordavelle {

std::vector<TerminalLaunch> terminalLaunches(const QString &preferred, const QString &scriptPath)
{
    std::vector<TerminalLaunch> launches;
    const QStringList own = QProcess::splitCommand(preferred);
    if (!own.isEmpty()) {
        // "-e" is what programs that honour $TERMINAL pass.
        launches.push_back({own.first(), own.mid(1) + QStringList{QStringLiteral("-e"), scriptPath}});
    }
    const auto add = [&](const char *program, QStringList arguments) {
        launches.push_back({QString::fromLatin1(program), arguments << scriptPath});
    };
    const QString e = QStringLiteral("-e");
    add("x-terminal-emulator", {e});
    // gnome-terminal has deprecated "-e"; everything after "--" is the command.
    add("gnome-terminal", {QStringLiteral("--")});
    add("konsole", {e});
    // These two read "-e" as one command line to split; "-x" takes the rest as it is.
    add("xfce4-terminal", {QStringLiteral("-x")});
    add("mate-terminal", {QStringLiteral("-x")});
    add("kitty", {});
    add("alacritty", {e});
    add("xterm", {e});
    return launches;
}

bool LinuxTerminal::openScript(const QString &scriptPath)
{
    m_lastProgram.clear();
    for (const TerminalLaunch &launch : terminalLaunches(qEnvironmentVariable("TERMINAL"), scriptPath)) {
        const QString found = QStandardPaths::findExecutable(launch.program);
        // A program that is there but cannot be executed leaves the next one its turn.
        if (!found.isEmpty() && QProcess::startDetached(found, launch.arguments)) {
            m_lastProgram = found;
            return true;
        }
    }
    return false;
}

} // namespace cordavelle
