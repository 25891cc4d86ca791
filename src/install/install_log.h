#pragma once

#include "base/helper_logger.h"
#include "platform/clock.h"
#include "platform/log_sink.h"

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace cordavelle {

// What an installer shows of `message` in its own lines, and hands to the install log: "[HH:mm:ss]
// message", `now` in local time.
QString shownLogLine(const QString &message, Clock::WallTime now);

// The installers' one lasting record: every line they show is also logged and appended, stamped
// with the moment of the call, to "setup.log" in the support folder, which is kept under a cap by
// moving it to the one backup "setup.log.1". The file work runs on a thread of its own, one line
// after the other in the order of the calls; the caller never waits for the disk and never sees a
// failure (failures go to the log under the category "InstallLog"). Nothing is written in a folder
// that usersOwnFolder() refuses.
class InstallLog {
public:
    static constexpr qint64 kDefaultCap = 10 * 1024 * 1024;
    static inline const QString kFileName = QStringLiteral("setup.log");
    static inline const QString kBackupName = QStringLiteral("setup.log.1");

    // Appends to `folder`/setup.log; stamps come from `clock`'s wall time, the install log's own
    // failures go to `sink`.
    InstallLog(Clock &clock, LogSink &sink, QString folder, qint64 cap = kDefaultCap);
    // Writes what is still queued, then ends the thread.
    ~InstallLog();
    InstallLog(const InstallLog &) = delete;
    InstallLog &operator=(const InstallLog &) = delete;

    // The log of the support folder, with the platform's clock and log; made on first use.
    static InstallLog &shared();

    // Logs `text` in `category`, then queues "[yyyy-MM-dd HH:mm:ss.SSS] text\n" for the file, its
    // control characters written as escapes.
    void appendLine(const QString &text, HelperLogger::Category category);
    // Returns once every line queued so far is written (or has failed).
    void flush();

    QString logFile() const;
    QString backupFile() const;

private:
    void append(const QByteArray &line);
    // Moves the log of `folder`, the one looked at, to its backup.
    void rotate(const QString &folder);
    void reportFailure(const QString &message);
    void run();

    Clock &m_clock;
    LogSink &m_sink;
    const QString m_folder;
    const qint64 m_cap;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<QByteArray> m_queue;
    bool m_busy = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace cordavelle
