#pragma once

#include "platform/log_sink.h"

#include <QStringList>

#include <functional>
#include <mutex>
#include <vector>

namespace cordavelle::test {

struct LogEntry {
    LogLevel level;
    QString subsystem;
    QString category;
    QString message;
};

// Keeps every line so tests can assert on what was logged. Lines may come from other threads
// (the install log's writer); read them once that work is done.
class RecordingLogSink final : public LogSink {
public:
    void write(LogLevel level, const QString &subsystem, const QString &category, const QString &message) override
    {
        {
            std::lock_guard lock(m_mutex);
            entries.push_back({level, subsystem, category, message});
        }
        if (onWrite) {
            onWrite(message);
        }
    }

    QStringList messages() const
    {
        QStringList out;
        for (const auto &e : entries) {
            out << e.message;
        }
        return out;
    }

    bool contains(const QString &fragment) const
    {
        for (const auto &e : entries) {
            if (e.message.contains(fragment)) {
                return true;
            }
        }
        return false;
    }

    std::vector<LogEntry> entries;
    // Called with each line once it is kept, on the writer's thread: a test acts at a moment
    // that only a line marks.
    std::function<void(const QString &)> onWrite;

private:
    std::mutex m_mutex;
};

} // namespace cordavelle::test
