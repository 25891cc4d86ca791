// Unexpected exits: the crash notice and the restarts of always-on services with back-off.

#include "service_orchestrator.h"

#include "base/helper_logger.h"
#include "platform/clock.h"
#include "platform/notifications.h"

#include <charconv>

namespace cordavelle {

namespace {

// Seconds since 1970 in the shortest text that reads back as the same number, always with a
// fractional part ("1767268800.25", "1767268800.0").
QString secondsSince1970(Clock::WallTime time)
{
    const double seconds = std::chrono::duration<double>(time.time_since_epoch()).count();
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, seconds);
    QString text = QString::fromLatin1(buffer, result.ptr - buffer);
    if (!text.contains(QLatin1Char('.')) && !text.contains(QLatin1Char('e'))) {
        text += QStringLiteral(".0");
    }
    return text;
}

// Decrements a service's count of restart tasks when the task ends, however it ends.
class RestartTaskCount {
public:
    RestartTaskCount(QPointer<ServiceOrchestrator> owner, std::map<ServiceID, int> &counts, ServiceID id)
        : m_owner(std::move(owner)), m_counts(&counts), m_id(id)
    {
        ++(*m_counts)[m_id];
    }
    ~RestartTaskCount()
    {
        if (m_owner) {
            --(*m_counts)[m_id];
        }
    }
    RestartTaskCount(const RestartTaskCount &) = delete;
    RestartTaskCount &operator=(const RestartTaskCount &) = delete;

private:
    QPointer<ServiceOrchestrator> m_owner;
    std::map<ServiceID, int> *m_counts;
    ServiceID m_id;
};

} // namespace

void ServiceOrchestrator::wireUnexpectedExitHandlers()
{
    for (ServiceID id : allCases<ServiceID>()) {
        process(id).setOnUnexpectedExit([self = QPointer(this), id](LaunchOutcome end) {
            if (self) {
                self->handleUnexpectedExit(id, end);
            }
        });
    }
}

void ServiceOrchestrator::handleUnexpectedExit(ServiceID id, const LaunchOutcome &end)
{
    // A signal is no exit code: the log, the notice, the page and the API all name it alike.
    const bool bySignal = end.kind() == LaunchOutcome::Kind::killedBySignal;
    servicesLog::warning(bySignal ? QStringLiteral("[ServiceOrchestrator] %1 exited unexpectedly: %2")
                                        .arg(toRaw(id), LaunchOutcome::killedBySignalText(end.value()))
                                  : QStringLiteral("[ServiceOrchestrator] %1 exited unexpectedly with code %2")
                                        .arg(toRaw(id), QString::number(end.value())));
    notifyServiceCrash(id, end);
    if (lifecycleMode(id) == ServiceLifecycleMode::alwaysOn) {
        scheduleRestart(id, 1);
    }
}

void ServiceOrchestrator::notifyServiceCrash(ServiceID id, const LaunchOutcome &end)
{
    if (lifecycleMode(id) != ServiceLifecycleMode::alwaysOn) {
        return;
    }
    NotificationRequest request;
    // Each crash gets a notice of its own; none replaces an earlier one.
    request.identifier = QStringLiteral("service-crash-%1-%2").arg(toRaw(id), secondsSince1970(m_clock.wallNow()));
    request.title = displayName(id) + QStringLiteral(" stopped unexpectedly");
    const QString how = end.kind() == LaunchOutcome::Kind::killedBySignal
                            ? LaunchOutcome::killedBySignalText(end.value())
                            : QStringLiteral("Exit code %1").arg(end.value());
    request.body = how.left(1).toUpper() + how.mid(1) + QStringLiteral(". Helper will attempt to restart.");
    request.sound = true;
    m_notifications.add(request);
}

void ServiceOrchestrator::scheduleRestart(ServiceID id, int attempt)
{
    if (lifecycleMode(id) != ServiceLifecycleMode::alwaysOn || attempt > kMaxRestartAttempts) {
        return;
    }
    servicesLog::info(QStringLiteral("[ServiceOrchestrator] Scheduling restart of %1 (attempt %2/%3) in %4s")
                          .arg(toRaw(id), QString::number(attempt), QString::number(kMaxRestartAttempts),
                               QString::number(1 << attempt)));
    runRestart(QPointer(this), id, attempt, pendingWork(id));
}

bool ServiceOrchestrator::isRestartPending(ServiceID id) const
{
    const auto it = m_restartTasks.find(id);
    return it != m_restartTasks.end() && it->second > 0;
}

QCoro::Task<std::optional<QString>> ServiceOrchestrator::startFailure(QPointer<ServiceOrchestrator> self, ServiceID id,
                                                                      std::stop_token cancel)
{
    std::optional<QString> failure;
    try {
        co_await self->startService(id, cancel);
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
        if (self && !cancel.stop_requested()) {
            self->process(id).setStartError(failure);
        }
    }
    if (failure || !self || cancel.stop_requested()) {
        co_return failure;
    }
    // A start path may return without error and leave the service down (a modem that never
    // answered): that is a failed attempt too.
    const ManagedProcess &proc = self->process(id);
    if (proc.state() == ServiceRunState::running) {
        co_return std::nullopt;
    }
    co_return proc.lastError().value_or(QStringLiteral("%1 is %2 after its start").arg(toRaw(id), toRaw(proc.state())));
}

QCoro::Task<void> ServiceOrchestrator::runRestart(QPointer<ServiceOrchestrator> self, ServiceID id, int attempt,
                                                  std::stop_token cancel)
{
    RestartTaskCount count(self, self->m_restartTasks, id);
    Clock &clock = self->m_clock;
    co_await clock.sleep(std::chrono::seconds(1 << attempt), cancel);
    // A stop of the service ends the chain for good.
    if (!self || cancel.stop_requested()) {
        co_return;
    }
    // Started by someone else during the back-off: nothing to do. A start of someone else's that
    // is still under way is joined and judged like one of the chain's own, so that the chain goes
    // on should it fail.
    if (self->process(id).state() == ServiceRunState::running) {
        co_return;
    }
    const std::optional<QString> failure = co_await startFailure(self, id, cancel);
    if (!self || cancel.stop_requested()) {
        co_return;
    }
    if (!failure) {
        co_return;
    }
    servicesLog::error(
        QStringLiteral("[ServiceOrchestrator] Restart attempt %1 of %2 failed: %3").arg(QString::number(attempt), toRaw(id), *failure));
    self->scheduleRestart(id, attempt + 1);
}

} // namespace cordavelle
