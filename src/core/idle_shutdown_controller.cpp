#include "idle_shutdown_controller.h"


#include <QCoreApplication>

namespace cordavelle {

IdleShutdownController::IdleShutdownController(DelaySource delaySource, EligibilityCheck isEligibleForIdleShutdown,
                                               StopAction stopAction, Clock &clock, QObject *parent)
    : QObject(parent),
      m_delaySource(std::move(delaySource)),
      m_isEligibleForIdleShutdown(std::move(isEligibleForIdleShutdown)),
      m_stopAction(std::move(stopAction)),
      m_clock(clock)
{
}

IdleShutdownController::~IdleShutdownController()
{
    // Wakes the sleeping tasks so that they find the controller gone and end.
    stopIdleMonitor();
}

std::optional<Clock::WallTime> IdleShutdownController::lastActivity(ServiceID id) const
{
    const auto it = m_lastActivity.find(id);
    if (it == m_lastActivity.end()) {
        return std::nullopt;
    }
    return it->second;
}

void IdleShutdownController::recordActivity(ServiceID id) { m_lastActivity[id] = clock().wallNow(); }

void IdleShutdownController::cancelIdleTimer(ServiceID id)
{
    const auto it = m_idleStopTasks.find(id);
    if (it == m_idleStopTasks.end()) {
        return;
    }
    it->second.request_stop();
    m_idleStopTasks.erase(it);
}

void IdleShutdownController::stopServiceIdle(ServiceID id)
{
    const int delay = m_delaySource();
    if (delay == -1) {
        return;
    }
    // The tasks start from the event loop, after the caller has finished: a client's stop
    // request is answered with the state before the stop.
    if (delay == 0) {
        // Not tied to the controller: the stop a client asked for happens even if the controller
        // goes away first.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [action = m_stopAction, id] { runStop(action, id); }, Qt::QueuedConnection);
        return;
    }
    cancelIdleTimer(id);
    std::stop_source source;
    // Entered before the task can run, so that the stop it triggers finds and removes it.
    m_idleStopTasks.emplace(id, source);
    // Any other negative value waits not at all.
    const std::chrono::milliseconds wait = std::chrono::minutes(std::max(0, delay));
    QMetaObject::invokeMethod(
        this, [self = QPointer(this), id, wait, token = source.get_token()] { delayedStop(self, id, wait, token); },
        Qt::QueuedConnection);
}

QCoro::Task<void> IdleShutdownController::runStop(StopAction action, ServiceID id) { co_await action(id); }

QCoro::Task<void> IdleShutdownController::delayedStop(QPointer<IdleShutdownController> self, ServiceID id,
                                                      std::chrono::milliseconds delay, std::stop_token stop)
{
    if (!self) {
        co_return;
    }
    co_await self->clock().sleep(delay, stop);
    if (stop.stop_requested() || !self) {
        co_return;
    }
    StopAction action = self->m_stopAction;
    co_await action(id);
}

void IdleShutdownController::startIdleMonitor()
{
    if (m_idleMonitorTask) {
        m_idleMonitorTask->request_stop();
    }
    m_idleMonitorTask.emplace();
    monitor(QPointer(this), m_idleMonitorTask->get_token());
}

void IdleShutdownController::stopIdleMonitor()
{
    if (m_idleMonitorTask) {
        m_idleMonitorTask->request_stop();
        m_idleMonitorTask.reset();
    }
    for (auto &[id, source] : m_idleStopTasks) {
        source.request_stop();
    }
    m_idleStopTasks.clear();
}

QCoro::Task<void> IdleShutdownController::monitor(QPointer<IdleShutdownController> self, std::stop_token stop)
{
    while (!stop.stop_requested() && self) {
        co_await self->clock().sleep(kMonitorInterval, stop);
        if (stop.stop_requested() || !self) {
            co_return;
        }
        co_await sweepOnce(self);
    }
}

QCoro::Task<void> IdleShutdownController::sweepOnce(QPointer<IdleShutdownController> self)
{
    const int delay = self->m_delaySource();
    if (delay < 1) {
        co_return;
    }
    const auto threshold = std::chrono::duration<double>(std::chrono::minutes(delay));
    const Clock::WallTime now = self->clock().wallNow();
    for (ServiceID id : allCases<ServiceID>()) {
        if (!self) {
            co_return;
        }
        if (!self->m_isEligibleForIdleShutdown(id) || self->m_idleStopTasks.contains(id)) {
            continue;
        }
        const auto last = self->lastActivity(id);
        if (!last || std::chrono::duration<double>(now - *last) < threshold) {
            continue;
        }
        StopAction action = self->m_stopAction;
        co_await action(id);
    }
}

} // namespace cordavelle
