#pragma once

#include "base/service_model.h"
#include "core/vara_launch_plan.h"

#include <QCoroTask>
#include <QObject>

#include <chrono>
#include <stop_token>
#include <utility>

namespace cordavelle {

class Clock;
class ConfigStore;
class ManagedProcess;
class OrphanReaper;
class WineDrivers;
class WinePrefixHold;

// Starts one VARA modem through its process: repairs its ini, then launches it under Wine until
// it answers on its command port, at most VARALaunchPlan::kLaunchAttempts times. Main thread only.
class VARAStartPath final : public QObject {
    Q_OBJECT
public:
    // How long a start waits for an installer to finish with the prefix before it gives up: as
    // long as one launch may take to answer.
    static constexpr std::chrono::milliseconds kPrefixWait = VARALaunchPlan::kReadyTimeout;

    // `process`: the variant's own child; `reaper` ends the Wine server before each launch, but
    // never while an installer has `prefixHold`; `wineDrivers` name the sound devices the ini is
    // given.
    VARAStartPath(VARAVariant variant, ConfigStore &config, Clock &clock, ManagedProcess &process,
                  const OrphanReaper &reaper, const WineDrivers &wineDrivers, const WinePrefixHold &prefixHold);

    // The plan from the settings now; throws as VARALaunchPlan::make does.
    VARALaunchPlan plan() const;

    // Throws before anything runs when the settings name no Wine or no modem, and before a launch
    // when another user could change Wine or the modem's program, or that program is not there;
    // otherwise returns normally, the process's state and last error telling how the start
    // ended: also when an installer kept the prefix longer than kPrefixWait. Ends without
    // launching again, or without marking the process running, once `cancel` is requested.
    QCoro::Task<void> start(std::stop_token cancel);

private:
    enum class Attempt { ready, launchFailed, silent, abandoned };

    void repairIni(const VARALaunchPlan &plan);
    // Wine and the modem's program as the plan's launch runs them: every link resolved.
    std::pair<QString, QStringList> checkedPrograms(const VARALaunchPlan &plan) const;
    // Waits, at most kPrefixWait, while an installer works in the prefix. False when one still
    // does, the start then failed with the reason, or when `cancel` came first.
    QCoro::Task<bool> waitForPrefix(const VARALaunchPlan &plan, std::stop_token cancel);
    // Fails the start, saying why, while a removal has the prefix's hold; false otherwise.
    bool refusedForRemoval();
    // One launch of the plan and the wait for its answer.
    QCoro::Task<Attempt> attempt(const VARALaunchPlan &plan, int number, std::stop_token cancel);
    // Probes the command port until it answers (true) or `timeout` has passed; gives up early
    // when the process has ended or left its start.
    QCoro::Task<bool> waitForReady(int port, std::chrono::milliseconds timeout, std::stop_token cancel);
    // Once the last attempt's child has gone, marks the start failed with `reason`.
    QCoro::Task<void> readAsFailed(QString reason, std::stop_token cancel);

    VARAVariant m_variant;
    ConfigStore &m_config;
    Clock &m_clock;
    ManagedProcess &m_process;
    const OrphanReaper &m_reaper;
    const WineDrivers &m_wineDrivers;
    const WinePrefixHold &m_prefixHold;
};

} // namespace cordavelle
