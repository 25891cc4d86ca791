#pragma once

#include "base/service_model.h"
#include "platform/clock.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>

namespace cordavelle {

// Stops on-demand services that clients no longer use: a client's stop request is carried out
// at once, after the idle delay, or never; and a monitor wakes every minute to stop the running
// services whose last client activity is older than the delay. It knows nothing of services,
// settings or processes: the orchestrator hands it three functions.
//
// Main thread only. All waits go through the clock.
class IdleShutdownController final : public QObject {
    Q_OBJECT
public:
    // The idle delay in minutes: 0 = at once, -1 = never, else that many minutes.
    using DelaySource = std::function<int()>;
    // Whether the service may be stopped for idleness now.
    using EligibilityCheck = std::function<bool(ServiceID)>;
    // Stops the service.
    using StopAction = std::function<QCoro::Task<void>(ServiceID)>;

    static constexpr std::chrono::seconds kMonitorInterval{60};

    IdleShutdownController(DelaySource delaySource, EligibilityCheck isEligibleForIdleShutdown, StopAction stopAction,
                           Clock &clock, QObject *parent = nullptr);
    ~IdleShutdownController() override;

    // A client asked to stop an on-demand service. With a delay of 0 the stop runs right after
    // the caller has finished; with -1 nothing happens; otherwise a delayed stop replaces the
    // pending one, so a repeated request starts the full delay again.
    void stopServiceIdle(ServiceID id);
    // Stamps the service's last client activity with the current date.
    void recordActivity(ServiceID id);
    // Drops the service's pending delayed stop, if any.
    void cancelIdleTimer(ServiceID id);
    // Starts the monitor, or restarts it; the first sweep comes one interval later.
    void startIdleMonitor();
    // Ends the monitor and every pending delayed stop; the activity stamps stay.
    void stopIdleMonitor();

    bool hasPendingIdleStop(ServiceID id) const { return m_idleStopTasks.contains(id); }
    bool isIdleMonitorRunning() const { return m_idleMonitorTask.has_value(); }
    std::optional<Clock::WallTime> lastActivity(ServiceID id) const;

private:
    Clock &clock() const { return m_clock; }

    static QCoro::Task<void> runStop(StopAction action, ServiceID id);
    static QCoro::Task<void> delayedStop(QPointer<IdleShutdownController> self, ServiceID id,
                                         std::chrono::milliseconds delay, std::stop_token stop);
    static QCoro::Task<void> monitor(QPointer<IdleShutdownController> self, std::stop_token stop);
    static QCoro::Task<void> sweepOnce(QPointer<IdleShutdownController> self);

    DelaySource m_delaySource;
    EligibilityCheck m_isEligibleForIdleShutdown;
    StopAction m_stopAction;
    Clock &m_clock;

    std::map<ServiceID, std::stop_source> m_idleStopTasks;
    std::map<ServiceID, Clock::WallTime> m_lastActivity;
    std::optional<std::stop_source> m_idleMonitorTask;
};

} // namespace cordavelle
