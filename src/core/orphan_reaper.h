#pragma once

#include <QCoroTask>
#include <QString>

#include <stop_token>

namespace cordavelle {

class Clock;
class CommandRunner;

// Clears processes that outlive the helper or a launch: rigctld daemons of an earlier run and
// the wine server of the helper's Wine prefix. Neither operation reports failure; a tool that
// cannot be started is logged under the "OrphanReaper" category and the caller goes on.
class OrphanReaper {
public:
    OrphanReaper(CommandRunner &runner, Clock &clock) : m_runner(runner), m_clock(clock) {}

    // Runs "wineserver -k" on the helper's prefix with the first wine server found (the
    // helper's own, "/opt/homebrew/bin/wineserver", "/usr/local/bin/wineserver", then the
    // machine's own folders), blocking until it exits. Does nothing when there is none.
    void killWineserver() const;

    // Kills the helper's own children called `name`, then every process of the helper's
    // own user called exactly `name`, logs how many it ended, then lets them settle for 0.5 s.
    // Once `cancel` is requested no further kill is begun and the settling ends: a sweep for a
    // start that no longer wants it must not reach a child launched after it.
    QCoro::Task<void> killStaleProcesses(QString name, std::stop_token cancel = {}) const;

private:
    CommandRunner &m_runner;
    Clock &m_clock;
};

} // namespace cordavelle
