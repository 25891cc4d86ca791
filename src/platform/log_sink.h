#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace cordavelle {

enum class LogLevel { Debug, Info, Notice, Error, Fault };

const char *logLevelName(LogLevel level);
// The level named by `name` ("debug", "info", "notice", "error", "fault"; any case).
std::optional<LogLevel> logLevelFromName(const QString &name);

// Where every log line of the helper ends up (the desktop session's journal collects stderr).
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(LogLevel level, const QString &subsystem, const QString &category,
                       const QString &message) = 0;
    // Whether a line of this level would be written at all; callers may skip building its text.
    virtual bool isEnabled(LogLevel) const { return true; }
    // Lets the sink gather the calling thread's lines and write them once per event-loop turn;
    // `releaseHeldLines` writes what is held and ends that, for when the loop has ended.
    virtual void holdLinesUntilIdle() {}
    virtual void releaseHeldLines() {}
};

// One line per message: "<level> <subsystem>[<category>] <message>". Messages carry text from
// outside (request paths, host names, header values, child output): control characters in them
// are written as escapes ("\n", "\x1b"), so no message can forge a line of its own or drive the
// terminal. Lines below the minimum level are dropped, as the desktop's log hides debug lines
// unless asked for them.
class StderrLogSink final : public LogSink {
public:
    // The variable that asks for another minimum level, e.g. CORDAVELLE_HELPER_LOG_LEVEL=debug.
    static constexpr const char *kLevelVariable = "CORDAVELLE_HELPER_LOG_LEVEL";
    static constexpr LogLevel kDefaultMinimumLevel = LogLevel::Info;

    explicit StderrLogSink(std::FILE *stream = stderr, LogLevel minimumLevel = kDefaultMinimumLevel)
        : m_stream(stream), m_minimumLevel(minimumLevel)
    {
    }
    // The minimum level from the environment; an unknown value is reported on `stream` and the
    // default level kept.
    static std::unique_ptr<StderrLogSink> fromEnvironment(std::FILE *stream = stderr);

    ~StderrLogSink() override;

    void write(LogLevel level, const QString &subsystem, const QString &category,
               const QString &message) override;
    bool isEnabled(LogLevel level) const override { return level >= m_minimumLevel; }
    LogLevel minimumLevel() const { return m_minimumLevel; }

    // From now on, lines below the error level that the calling thread writes are held until its
    // event loop next waits or wakes, and then written with one call: a busy server logs two lines
    // per request, and a system call each would cost more than the request. An error, a line of
    // another thread, `flush` and the process's exit write everything held at once, in order.
    // Call on a thread with an event loop (the main thread, once the application object exists).
    void holdLinesUntilIdle() override;
    void releaseHeldLines() override;
    void flush();

    static QString escapedControlCharacters(const QString &text);

private:
    // Writes what is held; with the mutex held.
    void writeHeld();

    std::FILE *m_stream;
    LogLevel m_minimumLevel;
    std::mutex m_mutex;
    QByteArray m_held;
    std::optional<std::thread::id> m_holdingThread;
    std::unique_ptr<QObject> m_hook;
};

} // namespace cordavelle
