#include "terminal.h"

#include "program_search.h"

#include <QProcess>

namespace cordavelle {

std::vector<TerminalLaunch> terminalLaunches(const QString &preferred, const QString &scriptPath)
{
    const QString e = QStringLiteral("-e");
    // Each runs the script given after these arguments. Named as `.program = "…"`, so that the
    // check of scripts/programs finds them.
    std::vector<TerminalLaunch> launches{
        {.program = QStringLiteral("x-terminal-emulator"), .arguments = {e}},
        // gnome-terminal has deprecated "-e"; everything after "--" is the command.
        {.program = QStringLiteral("gnome-terminal"), .arguments = {QStringLiteral("--")}},
        {.program = QStringLiteral("konsole"), .arguments = {e}},
        // These two read "-e" as one command line to split; "-x" takes the rest as it is.
        {.program = QStringLiteral("xfce4-terminal"), .arguments = {QStringLiteral("-x")}},
        {.program = QStringLiteral("mate-terminal"), .arguments = {QStringLiteral("-x")}},
        {.program = QStringLiteral("kitty"), .arguments = {}},
        {.program = QStringLiteral("alacritty"), .arguments = {e}},
        {.program = QStringLiteral("xterm"), .arguments = {e}},
    };
    const QStringList own = QProcess::splitCommand(preferred);
    if (!own.isEmpty()) {
        // "-e" is what programs that honour $TERMINAL pass.
        launches.insert(launches.begin(), {own.first(), own.mid(1) << e});
    }
    for (TerminalLaunch &launch : launches) {
        launch.arguments << scriptPath;
    }
    return launches;
}

bool LinuxTerminal::openScript(const QString &scriptPath)
{
    m_lastProgram.clear();
    for (const TerminalLaunch &launch : terminalLaunches(qEnvironmentVariable("TERMINAL"), scriptPath)) {
        // A program that is there but cannot be executed, or that others could change, leaves the
        // next one its turn.
        const std::optional<QString> found = findProgram(launch.program).found;
        if (found && QProcess::startDetached(*found, launch.arguments)) {
            m_lastProgram = *found;
            return true;
        }
    }
    return false;
}

} // namespace cordavelle
