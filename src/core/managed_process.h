#pragma once

#include "base/launch_outcome.h"
#include "base/service_model.h"
#include "platform/described_error.h"
#include "platform/logger.h"

#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>
#include <type_traits>

namespace cordavelle {

class ChildProcess;
class Clock;
class LogLineBuffer;

// A child program could not be launched at all (missing or non-executable file, …).
class ProcessLaunchError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

// Supervises the child process of one service: launches it in a process group of its own,
// collects its combined output into a capped log, optionally waits for its TCP port, notices its
// end, and stops it with SIGTERM, then SIGKILL 2 s later. What a service needs to count as ready,
// and what an unexpected exit means, is the orchestrator's business.
//
// Main thread only. Every observed field has a …Changed signal that fires only on a real change.
class ManagedProcess final : public QObject {
    Q_OBJECT
    Q_PROPERTY(cordavelle::ServiceRunState state READ state NOTIFY stateChanged)
    Q_PROPERTY(std::optional<qint64> pid READ pid NOTIFY pidChanged)
    Q_PROPERTY(std::optional<QString> lastError READ lastError WRITE setLastError NOTIFY lastErrorChanged)
    Q_PROPERTY(std::optional<QDateTime> startedAt READ startedAt NOTIFY startedAtChanged)
    Q_PROPERTY(bool isRestartInProgress READ isRestartInProgress NOTIFY isRestartInProgressChanged)
    Q_PROPERTY(std::optional<QString> lastLaunchCommand READ lastLaunchCommand NOTIFY lastLaunchCommandChanged)
    Q_PROPERTY(cordavelle::LaunchOutcome lastLaunchOutcome READ lastLaunchOutcome NOTIFY lastLaunchOutcomeChanged)
    Q_PROPERTY(std::optional<QDateTime> lastLaunchOutcomeAt READ lastLaunchOutcomeAt NOTIFY lastLaunchOutcomeAtChanged)
    Q_PROPERTY(QStringList logLines READ logLines WRITE setLogLines NOTIFY logLinesChanged)
    Q_PROPERTY(std::optional<QString> startError READ startError WRITE setStartError NOTIFY startErrorChanged)
    Q_PROPERTY(QStringList endOutput READ endOutput NOTIFY endOutputChanged)
public:
    static constexpr int kMaxLogLines = 500;
    static constexpr int kMaxEndOutputLines = 3;
    // How long a start waits for the child's expected port.
    static constexpr std::chrono::milliseconds kPortWaitTimeout{5000};

    ManagedProcess(ServiceID serviceID, Clock &clock, QObject *parent = nullptr);
    ~ManagedProcess() override;

    ServiceID serviceID() const { return m_serviceID; }
    ServiceRunState state() const { return m_state; }
    // The current child's process identifier, from its launch until its end is handled.
    std::optional<qint64> pid() const { return m_pid; }
    // Text of the last failure; cleared by every launch. The orchestrator stores its own
    // readiness failures here too.
    std::optional<QString> lastError() const { return m_lastError; }
    void setLastError(const std::optional<QString> &lastError);
    // When the last start finished; cleared once the child is gone.
    std::optional<QDateTime> startedAt() const { return m_startedAt; }
    // Set by the user interface while it restarts the service; nothing here reads it.
    bool isRestartInProgress() const { return m_isRestartInProgress; }
    void setIsRestartInProgress(bool inProgress);
    // The executable and arguments of the last launch, as a line a shell reads back as them.
    std::optional<QString> lastLaunchCommand() const { return m_lastLaunchCommand; }
    LaunchOutcome lastLaunchOutcome() const { return m_lastLaunchOutcome; }
    std::optional<QDateTime> lastLaunchOutcomeAt() const { return m_lastLaunchOutcomeAt; }
    // The visible output, oldest first, at most kMaxLogLines after every change made here. It
    // survives launches and stops.
    QStringList logLines() const { return m_logLines; }
    void setLogLines(const QStringList &lines);
    // Empties the log, including lines read but not yet shown.
    void clearLog();
    // What a start asked for in a window threw, for the service's error line. Kept apart from
    // lastError, which the API reports; the orchestrator clears it with the next start or stop.
    std::optional<QString> startError() const { return m_startError; }
    void setStartError(const std::optional<QString> &startError);
    // The child's last non-empty output lines, at most kMaxEndOutputLines, once it has ended on
    // its own, during its start or after, or was stopped because its start failed: the reason it
    // gives is seldom in the exit status. Empty after a stop, and again from the next launch on.
    QStringList endOutput() const;
    // Seconds since startedAt, only while running.
    std::optional<double> uptime() const;

    // Called with how a running child ended when it ends without a stop.
    void setOnUnexpectedExit(std::function<void(LaunchOutcome end)> callback);

    // Launches the child and returns with the state `starting`. A start while starting, running
    // or stopping does nothing. An environment map is merged into the helper's environment;
    // without one the child inherits it unchanged. With an expected port, waits up to
    // kPortWaitTimeout for the child, or a process of its own, to listen on it; whether it does
    // is for the caller to judge. Throws ProcessLaunchError when the program cannot be run, or
    // cannot enter `workingFolder` (without one it runs in the helper's). `cancel` cuts the port
    // wait short.
    QCoro::Task<void> start(QString executable, QStringList arguments,
                            std::optional<std::map<QString, QString>> environment = std::nullopt,
                            std::optional<int> expectedPort = std::nullopt, std::stop_token cancel = {},
                            QString workingFolder = {});
    // The orchestrator's verdict that the service is ready: starting → running.
    void markRunning();
    // The orchestrator's verdict that a start failed with no child behind it (none launched, or
    // the one launched is gone): the state becomes error, with `reason` as the last error. Does
    // nothing while a child is present or the process is running or stopping.
    void failStart(const QString &reason);
    // The orchestrator's verdict that a start failed while its child lives (it never listened
    // where clients connect): the child is stopped as by stop(), and once its end is handled the
    // state is error, with `reason` as the last error and the child's last lines as endOutput. A
    // stop() meanwhile leaves it stopped instead. Does nothing unless starting.
    void abandonStart(const QString &reason);
    // Begins stopping: SIGTERM to the child's group now, SIGKILL 2 s later if it still runs.
    // Returns at once.
    void stop();
    // Adds a line of the orchestrator's own to the log at once.
    void appendSyntheticLog(const QString &line);

Q_SIGNALS:
    void stateChanged();
    void pidChanged();
    void lastErrorChanged();
    void startedAtChanged();
    void isRestartInProgressChanged();
    void lastLaunchCommandChanged();
    void lastLaunchOutcomeChanged();
    void lastLaunchOutcomeAtChanged();
    void logLinesChanged();
    void startErrorChanged();
    void endOutputChanged();

private:
    class OutputRelay;
    // The current child: `process` of the design. Results that come back later are applied
    // only while their launch is still the current one.
    struct Launch {
        std::uint64_t id = 0;
        QPointer<ChildProcess> child;
        // Ends the port wait of this launch.
        std::shared_ptr<std::stop_source> cancel;
    };

    // Stores a new value of an observed field; observers hear only of a real change.
    template <class T>
    void setObserved(T &field, std::type_identity_t<T> value, void (ManagedProcess::*changed)())
    {
        if (field != value) {
            field = std::move(value);
            Q_EMIT (this->*changed)();
        }
    }

    void setState(ServiceRunState state);
    void setPid(std::optional<qint64> pid);
    void setStartedAt(std::optional<QDateTime> startedAt);
    void setLastLaunchCommand(std::optional<QString> command);
    void recordOutcome(LaunchOutcome outcome);
    void setEndedOnItsOwn(bool ended);

    bool isCurrent(std::uint64_t launchID) const { return m_process && m_process->id == launchID; }
    void handleTermination(int32_t exitCode, bool bySignal);
    void cleanup();
    void stopChild();
    void startHealthMonitoring();
    void cancelHealthMonitor();
    static QCoro::Task<void> monitorHealth(QPointer<ManagedProcess> self, Clock &clock, std::stop_token stop);
    static QCoro::Task<void> escalateStop(QPointer<ManagedProcess> self, Clock &clock, std::uint64_t launchID,
                                          QPointer<ChildProcess> child);

    // Drops the oldest lines beyond `count`.
    static void keepNewest(QStringList &lines, qsizetype count);
    void scheduleAppendLogs(const QStringList &lines);
    void flushPendingLogs();
    static QCoro::Task<void> flushLater(QPointer<ManagedProcess> self, Clock &clock, std::stop_token stop);

    const ServiceID m_serviceID;
    Clock &m_clock;
    ServiceRunState m_state = ServiceRunState::stopped;
    std::optional<qint64> m_pid;
    std::optional<QString> m_lastError;
    std::optional<QDateTime> m_startedAt;
    bool m_isRestartInProgress = false;
    std::optional<QString> m_lastLaunchCommand;
    LaunchOutcome m_lastLaunchOutcome = LaunchOutcome::neverStarted();
    std::optional<QDateTime> m_lastLaunchOutcomeAt;
    QStringList m_logLines;
    std::optional<QString> m_startError;
    // The current launch's last output lines, and whether its child ended on its own.
    QStringList m_launchTail;
    bool m_endedOnItsOwn = false;
    // Why the start failed, while its child is being stopped for it (abandonStart).
    std::optional<QString> m_abandonedStart;
    std::function<void(LaunchOutcome)> m_onUnexpectedExit;

    std::optional<Launch> m_process;
    std::uint64_t m_launchCount = 0;
    std::optional<std::stop_source> m_healthMonitor;
    std::shared_ptr<LogLineBuffer> m_logBuffer;
    std::shared_ptr<OutputRelay> m_relay;
    QStringList m_pendingLogLines;
    bool m_logFlushScheduled = false;
    // Ends the object's own waits when it goes away.
    std::stop_source m_lifetime;
    Logger m_log;
};

} // namespace cordavelle
