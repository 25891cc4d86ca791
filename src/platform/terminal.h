#pragma once

#include <QString>

namespace cordavelle {

// Opens a terminal window that runs a shell script, for installs the user drives by hand.
class Terminal {
public:
    virtual ~Terminal() = default;

    // Starts a terminal window running the executable script; false when none could be started.
    // Returns at once: what the script does is not observed.
    virtual bool openScript(const QString &scriptPath) = 0;

    // The folder where scripts wait for the terminal: only this user can enter it, so nobody
    // can swap a script between its writing and its start. Throws FileError.
    QString scriptFolder() const;
};

// `$TERMINAL` when set, else the Debian alternative `x-terminal-emulator`, started detached
// with "-e <script>".
class LinuxTerminal final : public Terminal {
public:
    bool openScript(const QString &scriptPath) override;
};

} // namespace cordavelle
