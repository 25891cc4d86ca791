#include "managed_process.h"

#include "async/event.h"
#include "base/shell_words.h"
#include "base/helper_logger.h"
#include "base/log_line_buffer.h"
#include "core/port_probe.h"
#include "platform/child_process.h"
#include "platform/clock.h"

#include <QCoreApplication>
#include <QProcessEnvironment>

#include <chrono>
#include <csignal>
#include <mutex>

namespace cordavelle {

using namespace std::chrono_literals;

namespace {

constexpr auto kStopGracePeriod = 2000ms;

QDateTime wallNow(Clock &clock)
{
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(clock.wallNow().time_since_epoch());
    return QDateTime::fromMSecsSinceEpoch(since.count(), Qt::UTC);
}

} // namespace

// Carries lines from the output reader's thread to the main thread. At most one delivery is
// queued at a time; lines that come meanwhile join it, so a chatty child costs the main thread
// one event per batch rather than one per read. Only the newest lines can ever be shown, so the
// batch keeps no more than that.
class ManagedProcess::OutputRelay {
public:
    explicit OutputRelay(ManagedProcess *owner) : m_owner(owner) {}

    void detach()
    {
        std::lock_guard lock(m_mutex);
        m_owner = nullptr;
    }

    static void deliver(const std::shared_ptr<OutputRelay> &relay, QStringList lines)
    {
        std::lock_guard lock(relay->m_mutex);
        if (!relay->m_owner) {
            return;
        }
        relay->m_outbox.append(std::move(lines));
        keepNewest(relay->m_outbox, kMaxLogLines);
        if (relay->m_queued) {
            return;
        }
        relay->m_queued = true;
        ManagedProcess *owner = relay->m_owner;
        // Delivered to the owner's thread; dropped by Qt if the owner is destroyed first.
        QMetaObject::invokeMethod(
            owner, [owner, relay] { owner->scheduleAppendLogs(relay->take()); }, Qt::QueuedConnection);
    }

private:
    QStringList take()
    {
        std::lock_guard lock(m_mutex);
        m_queued = false;
        return std::exchange(m_outbox, {});
    }

    std::mutex m_mutex;
    ManagedProcess *m_owner;
    QStringList m_outbox;
    bool m_queued = false;
};

ManagedProcess::ManagedProcess(ServiceID serviceID, Clock &clock, QObject *parent)
    : QObject(parent),
      m_serviceID(serviceID),
      m_clock(clock),
      m_logBuffer(std::make_shared<LogLineBuffer>()),
      m_relay(std::make_shared<OutputRelay>(this)),
      m_log(HelperLogger::subsystem(), QStringLiteral("ProcessManager"))
{
}

ManagedProcess::~ManagedProcess()
{
    // The child is left running; its output and its end are simply no longer wanted.
    m_relay->detach();
    cancelHealthMonitor();
    m_lifetime.request_stop();
}

// --- observed fields

void ManagedProcess::setState(ServiceRunState state)
{
    setObserved(m_state, state, &ManagedProcess::stateChanged);
}

void ManagedProcess::setPid(std::optional<qint64> pid)
{
    setObserved(m_pid, pid, &ManagedProcess::pidChanged);
}

void ManagedProcess::setLastError(const std::optional<QString> &lastError)
{
    setObserved(m_lastError, lastError, &ManagedProcess::lastErrorChanged);
}

void ManagedProcess::setStartError(const std::optional<QString> &startError)
{
    setObserved(m_startError, startError, &ManagedProcess::startErrorChanged);
}

QStringList ManagedProcess::endOutput() const { return m_endedOnItsOwn ? m_launchTail : QStringList(); }

void ManagedProcess::setEndedOnItsOwn(bool ended)
{
    const QStringList before = endOutput();
    m_endedOnItsOwn = ended;
    if (endOutput() != before) {
        Q_EMIT endOutputChanged();
    }
}

void ManagedProcess::setStartedAt(std::optional<QDateTime> startedAt)
{
    setObserved(m_startedAt, std::move(startedAt), &ManagedProcess::startedAtChanged);
}

void ManagedProcess::setIsRestartInProgress(bool inProgress)
{
    setObserved(m_isRestartInProgress, inProgress, &ManagedProcess::isRestartInProgressChanged);
}

void ManagedProcess::setLastLaunchCommand(std::optional<QString> command)
{
    setObserved(m_lastLaunchCommand, std::move(command), &ManagedProcess::lastLaunchCommandChanged);
}

void ManagedProcess::recordOutcome(LaunchOutcome outcome)
{
    setObserved(m_lastLaunchOutcome, outcome, &ManagedProcess::lastLaunchOutcomeChanged);
    setObserved(m_lastLaunchOutcomeAt, wallNow(m_clock), &ManagedProcess::lastLaunchOutcomeAtChanged);
}

std::optional<double> ManagedProcess::uptime() const
{
    if (!m_startedAt || m_state != ServiceRunState::running) {
        return std::nullopt;
    }
    return static_cast<double>(m_startedAt->msecsTo(wallNow(m_clock))) / 1000.0;
}

void ManagedProcess::setOnUnexpectedExit(std::function<void(LaunchOutcome)> callback)
{
    m_onUnexpectedExit = std::move(callback);
}

// --- launch

QCoro::Task<void> ManagedProcess::start(QString executable, QStringList arguments,
                                        std::optional<std::map<QString, QString>> environment,
                                        std::optional<int> expectedPort, std::stop_token cancel,
                                        QString workingFolder)
{
    if (m_state != ServiceRunState::stopped && m_state != ServiceRunState::error) {
        co_return;
    }
    setState(ServiceRunState::starting);
    setLastError(std::nullopt);
    // A line that reads the child's relative paths where the child does.
    const QString commandLine = shellLine(QStringList{executable} + arguments);
    setLastLaunchCommand(workingFolder.isEmpty() ? commandLine
                                                 : QStringLiteral("cd ") + shellWord(workingFolder) +
                                                       QStringLiteral(" && ") + commandLine);
    recordOutcome(LaunchOutcome::neverStarted());

    std::optional<QProcessEnvironment> childEnvironment;
    if (environment) {
        childEnvironment = QProcessEnvironment::systemEnvironment();
        for (const auto &[name, value] : *environment) {
            childEnvironment->insert(name, value);
        }
    }

    m_logBuffer->reset();
    setEndedOnItsOwn(false);
    m_launchTail.clear();
    const std::uint64_t launchID = ++m_launchCount;
    auto launchCancel = std::make_shared<std::stop_source>();
    ChildProcess *child = ChildProcess::launch(
        executable, arguments, childEnvironment,
        [buffer = m_logBuffer, relay = m_relay](const QByteArray &chunk) {
            QStringList lines = buffer->append(chunk);
            if (!lines.isEmpty()) {
                OutputRelay::deliver(relay, std::move(lines));
            }
        },
        workingFolder);
    // Present from here on, so that a stop during the launch reaches the child.
    m_process = Launch{launchID, child, launchCancel};

    async::Event launched;
    auto failure = std::make_shared<std::optional<QString>>();
    connect(child, &ChildProcess::started, this, [launched] { launched.set(); });
    connect(child, &ChildProcess::failedToStart, this, [launched, failure](const QString &description) {
        *failure = description;
        launched.set();
    });
    connect(child, &ChildProcess::exited, this, [this, launchID](int status, bool bySignal) {
        if (isCurrent(launchID)) {
            // Everything the child wrote has been read, so a last line without a line feed is whole.
            if (QStringList last = m_logBuffer->finish(); !last.isEmpty()) {
                OutputRelay::deliver(m_relay, std::move(last));
            }
            handleTermination(status, bySignal);
        }
    });

    QPointer<ManagedProcess> self(this);
    co_await launched;
    if (!self) {
        co_return;
    }
    if (*failure) {
        if (isCurrent(launchID)) {
            m_process.reset();
        }
        setState(ServiceRunState::error);
        setLastError(**failure);
        throw ProcessLaunchError(**failure);
    }
    if (!isCurrent(launchID)) {
        // The child has already ended and that end was handled.
        co_return;
    }
    setPid(child->pid());
    recordOutcome(LaunchOutcome::running());
    if (const auto groupError = child->ensureOwnProcessGroup()) {
        m_log.error(QStringLiteral("setpgid for pid %1 failed: %2").arg(QString::number(child->pid()), *groupError));
    }

    if (expectedPort && m_state == ServiceRunState::starting) {
        std::stop_callback forwardCancel(cancel, [launchCancel] { launchCancel->request_stop(); });
        // The child's own listener, not whatever answers there: a program of another user on the
        // port would answer for a child that could not bind it.
        ProcessTree owner{child->pid(), {}};
        if (environment) {
            if (const auto prefix = environment->find(QStringLiteral("WINEPREFIX")); prefix != environment->end()) {
                owner.winePrefix = prefix->second;
            }
        }
        const bool open = co_await waitForPort(*expectedPort, owner, m_clock, kPortWaitTimeout, launchCancel->get_token());
        if (!self) {
            co_return;
        }
        if (!open && !launchCancel->stop_requested()) {
            m_log.error(QString::fromUtf8("Port %1 not open after 5s \u2014 process stays alive for orchestrator "
                                          "readiness check")
                            .arg(*expectedPort));
        }
    }

    // A stop or an end of the child while the port was awaited leaves nothing to stamp or watch.
    if (m_state != ServiceRunState::starting || !isCurrent(launchID)) {
        co_return;
    }
    setStartedAt(wallNow(m_clock));
    startHealthMonitoring();
}

void ManagedProcess::markRunning()
{
    if (m_state != ServiceRunState::starting) {
        return;
    }
    setEndedOnItsOwn(false);
    setState(ServiceRunState::running);
    if (!m_healthMonitor) {
        startHealthMonitoring();
    }
}

void ManagedProcess::failStart(const QString &reason)
{
    if (m_process || m_state == ServiceRunState::running || m_state == ServiceRunState::stopping) {
        return;
    }
    cancelHealthMonitor();
    setPid(std::nullopt);
    setStartedAt(std::nullopt);
    setLastError(reason);
    setState(ServiceRunState::error);
}

void ManagedProcess::abandonStart(const QString &reason)
{
    if (m_state != ServiceRunState::starting) {
        return;
    }
    m_abandonedStart = reason;
    stopChild();
}

// --- end of the child

void ManagedProcess::handleTermination(int32_t exitCode, bool bySignal)
{
    cancelHealthMonitor();
    const ServiceRunState previous = m_state;
    const LaunchOutcome end = LaunchOutcome::fromTermination(exitCode, bySignal);

    if (m_state == ServiceRunState::stopping) {
        // The signal came from the stop itself: the user sees a plain stop, not a failure.
        recordOutcome(LaunchOutcome::stopped(exitCode));
        cleanup();
        return;
    }
    recordOutcome(end);
    // Ended during its start, or soon after it was counted as up (a readiness check answered by
    // another program's listener): either way its last words tell why.
    setEndedOnItsOwn(true);
    if (m_state == ServiceRunState::starting && exitCode == 0 && !bySignal) {
        // A launcher that hands over to another process and exits cleanly: whether the service
        // came up is for the orchestrator's readiness check to find out.
        m_process.reset();
        setPid(std::nullopt);
        return;
    }

    if (m_process) {
        m_process->cancel->request_stop();
        m_process.reset();
    }
    setPid(std::nullopt);
    setStartedAt(std::nullopt);
    if (exitCode != 0) {
        setLastError(end.failureText());
    }
    setState(ServiceRunState::error);
    if (previous == ServiceRunState::running && m_onUnexpectedExit) {
        // A copy: the callback may install another one.
        const auto callback = m_onUnexpectedExit;
        callback(end);
    }
}

void ManagedProcess::cleanup()
{
    if (m_process) {
        m_process->cancel->request_stop();
        m_process.reset();
    }
    setPid(std::nullopt);
    setStartedAt(std::nullopt);
    if (const std::optional<QString> failure = std::exchange(m_abandonedStart, std::nullopt)) {
        // The child's last words tell why it never listened ("address in use", …).
        setEndedOnItsOwn(true);
        setLastError(*failure);
        setState(ServiceRunState::error);
        return;
    }
    setState(ServiceRunState::stopped);
}

// --- stop

void ManagedProcess::stop()
{
    // A stop asked for while a failed start's child goes ends as a stop, not as that failure.
    m_abandonedStart.reset();
    if (m_state != ServiceRunState::running && m_state != ServiceRunState::starting) {
        return;
    }
    stopChild();
}

void ManagedProcess::stopChild()
{
    setEndedOnItsOwn(false);
    setState(ServiceRunState::stopping);
    cancelHealthMonitor();
    if (!m_process) {
        cleanup();
        return;
    }
    m_process->cancel->request_stop();
    ChildProcess *child = m_process->child;
    if (!child || !child->isRunning()) {
        cleanup();
        return;
    }
    // Without a group of its own (setpgid failed) the child is reached alone.
    if (!child->signalGroup(SIGTERM)) {
        child->signalChild(SIGTERM);
    }
    escalateStop(this, m_clock, m_process->id, child);
}

QCoro::Task<void> ManagedProcess::escalateStop(QPointer<ManagedProcess> self, Clock &clock, std::uint64_t launchID,
                                               QPointer<ChildProcess> child)
{
    // Runs its course even if the ManagedProcess goes away: the child still gets its SIGKILL.
    co_await clock.sleep(kStopGracePeriod);
    bool killed = false;
    if (child && child->isRunning()) {
        if (!child->signalGroup(SIGKILL)) {
            child->signalChild(SIGKILL);
        }
        killed = true;
    }
    if (self && self->isCurrent(launchID)) {
        // The exit notice of a killed child comes later and finds nothing left to do, so the
        // kill is recorded here.
        if (killed) {
            self->recordOutcome(LaunchOutcome::stopped(SIGKILL));
        }
        self->cleanup();
    }
}

} // namespace cordavelle
