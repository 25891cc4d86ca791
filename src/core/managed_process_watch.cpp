// What a managed process keeps watching while its child runs: the health monitor, a fallback for
// an end of the child whose notice never arrives, and the visible output log.

#include "managed_process.h"

#include "platform/child_process.h"
#include "platform/clock.h"

namespace cordavelle {

using namespace std::chrono_literals;

namespace {

constexpr auto kHealthCheckInterval = 5000ms;
constexpr auto kLogFlushDelay = 250ms;

} // namespace

void ManagedProcess::keepNewest(QStringList &lines, qsizetype count)
{
    if (lines.size() > count) {
        lines.remove(0, lines.size() - count);
    }
}

void ManagedProcess::setLogLines(const QStringList &lines)
{
    setObserved(m_logLines, lines, &ManagedProcess::logLinesChanged);
}

void ManagedProcess::clearLog()
{
    m_pendingLogLines.clear();
    setLogLines({});
}

// --- health monitor

void ManagedProcess::startHealthMonitoring()
{
    cancelHealthMonitor();
    m_healthMonitor.emplace();
    monitorHealth(this, m_clock, m_healthMonitor->get_token());
}

void ManagedProcess::cancelHealthMonitor()
{
    if (m_healthMonitor) {
        m_healthMonitor->request_stop();
        m_healthMonitor.reset();
    }
}

QCoro::Task<void> ManagedProcess::monitorHealth(QPointer<ManagedProcess> self, Clock &clock, std::stop_token stop)
{
    // A fallback for an end of the child whose notice never arrives.
    while (!stop.stop_requested()) {
        // Not in the condition itself: g++ 12 mishandles a co_await inside && and ||.
        const bool slept = co_await clock.sleep(kHealthCheckInterval, stop);
        if (!slept || !self) {
            co_return;
        }
        if (self->m_state != ServiceRunState::running || !self->m_process) {
            continue;
        }
        ChildProcess *child = self->m_process->child;
        if (child && !child->isRunning()) {
            self->handleTermination(child->exitStatus(), child->endedBySignal());
        }
    }
}

// --- output log

void ManagedProcess::scheduleAppendLogs(const QStringList &lines)
{
    m_pendingLogLines.append(lines);
    // Lines beyond the newest kMaxLogLines would be trimmed by the flush anyway.
    keepNewest(m_pendingLogLines, kMaxLogLines);
    if (!m_logFlushScheduled) {
        m_logFlushScheduled = true;
        flushLater(this, m_clock, m_lifetime.get_token());
    }
}

QCoro::Task<void> ManagedProcess::flushLater(QPointer<ManagedProcess> self, Clock &clock, std::stop_token stop)
{
    co_await clock.sleep(kLogFlushDelay, stop);
    if (self && !stop.stop_requested()) {
        self->flushPendingLogs();
    }
}

void ManagedProcess::flushPendingLogs()
{
    m_logFlushScheduled = false;
    if (m_pendingLogLines.isEmpty()) {
        return;
    }
    const QStringList before = endOutput();
    for (const QString &line : std::as_const(m_pendingLogLines)) {
        if (!line.trimmed().isEmpty()) {
            m_launchTail.append(line);
        }
    }
    keepNewest(m_launchTail, kMaxEndOutputLines);
    m_logLines.append(m_pendingLogLines);
    m_pendingLogLines.clear();
    keepNewest(m_logLines, kMaxLogLines);
    Q_EMIT logLinesChanged();
    if (endOutput() != before) {
        Q_EMIT endOutputChanged();
    }
}

void ManagedProcess::appendSyntheticLog(const QString &line)
{
    m_logLines.append(line);
    keepNewest(m_logLines, kMaxLogLines);
    Q_EMIT logLinesChanged();
}

} // namespace cordavelle
