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
};

// `$TERMINAL` when set, else the Debian alternative `x-terminal-emulator`, started detached
// with "-e <script>".
class LinuxTerminal final : public Terminal {
public:
    bool openScript(const QString &scriptPath) override;
};

} // namespace cordavelle
