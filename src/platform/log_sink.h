#pragma once

#include <QString>

#include <cstdio>
#include <memory>

namespace cordavelle {

enum class LogLevel { Debug, Info, Notice, Error, Fault };

const char *logLevelName(LogLevel level);

// Where every log line of the helper ends up (the desktop session's journal collects stderr).
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(LogLevel level, const QString &subsystem, const QString &category,
                       const QString &message) = 0;
};

// One line per message: "<level> <subsystem>[<category>] <message>". Messages carry text from
// outside (request paths, host names, header values, child output): control characters in them
// are written as escapes ("\n", "\x1b"), so no message can forge a line of its own or drive the
// terminal.
class StderrLogSink final : public LogSink {
public:
    explicit StderrLogSink(std::FILE *stream = stderr) : m_stream(stream) {}

    void write(LogLevel level, const QString &subsystem, const QString &category,
               const QString &message) override;

    static QString escapedControlCharacters(const QString &text);

private:
    std::FILE *m_stream;
};

// A logger bound to one subsystem and category, for components that log outside the
// HelperLogger facade (the HTTP server, the managed processes, the orphan reaper, the keychain).
class Logger {
public:
    Logger(QString subsystem, QString category);

    void debug(const QString &message) const { write(LogLevel::Debug, message); }
    void info(const QString &message) const { write(LogLevel::Info, message); }
    void notice(const QString &message) const { write(LogLevel::Notice, message); }
    void error(const QString &message) const { write(LogLevel::Error, message); }
    void fault(const QString &message) const { write(LogLevel::Fault, message); }

    const QString &subsystem() const { return m_subsystem; }
    const QString &category() const { return m_category; }

private:
    void write(LogLevel level, const QString &message) const;

    QString m_subsystem;
    QString m_category;
};

} // namespace cordavelle
