#pragma once

#include <QString>
#include <QStringList>

#include <vector>

namespace cordavelle {

// Opens a terminal window that runs a shell script, for installs the user drives by hand.
class Terminal {
public:
    virtual ~Terminal() = default;

    // Starts a terminal window running the executable script; false when none could be started.
    // Returns at once: what the script does is not observed.
    virtual bool openScript(const QString &scriptPath) = 0;
};

// One way to open a terminal on a script: the program (a name looked up in PATH, or a path)
// and the arguments that make it run the script.
struct TerminalLaunch {
    QString program;
    QStringList arguments;
    bool operator==(const TerminalLaunch &) const = default;
};

// The terminals tried, in order: the user's `$TERMINAL` (`preferred`; it may carry arguments of
// its own), the Debian alternative x-terminal-emulator, then the common desktops' and the
// stand-alone terminals, each with its own way of being told what to run.
std::vector<TerminalLaunch> terminalLaunches(const QString &preferred, const QString &scriptPath);

// Tries terminalLaunches() in order, with `$TERMINAL` read at each call, and keeps the first
// that is found in PATH and starts.
class LinuxTerminal final : public Terminal {
public:
    bool openScript(const QString &scriptPath) override;
    // The program that opened the last script; empty when none could.
    const QString &lastProgram() const { return m_lastProgram; }

private:
    QString m_lastProgram;
};

} // namespace cordavelle
