#pragma once

#include "platform/log_sink.h"

#include <QStringList>

#include <vector>

namespace cordavelle::test {

struct LogEntry {
    LogLevel level;
    QString subsystem;
    QString category;
    QString message;
};

// Keeps every line so tests can assert on what was logged.
class RecordingLogSink final : public LogSink {
public:
    void write(LogLevel level, const QString &subsystem, const QString &category, const QString &message) override
    {
        entries.push_back({level, subsystem, category, message});
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
};

} // namespace cordavelle::test
