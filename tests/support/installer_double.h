#pragma once

#include "install/installer.h"

namespace cordavelle::test {

// An installer whose progress, installed copy and log lines the test sets; it counts the starts
// and cancels it is asked for, and tells its views of a change when the test says so.
class InstallerDouble final : public Installer {
public:
    InstallProgress progress() const override { return state; }
    InstalledCopy installedCopy() const override { return copy; }
    QStringList logLines() const override { return log; }
    void start() override { ++starts; }
    void cancel() override { ++cancels; }

    void announce() { Q_EMIT changed(); }

    InstallProgress state;
    InstalledCopy copy;
    QStringList log;
    int starts = 0;
    int cancels = 0;
};

} // namespace cordavelle::test
