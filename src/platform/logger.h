#pragma once

#include "log_sink.h"

#include <QString>

namespace cordavelle {

// A logger bound to one subsystem and category, for components that log outside the
// HelperLogger facade (the HTTP server, the managed processes, the orphan reaper, the keychain).
class Logger {
public:
    Logger(QString subsystem, QString category);

    void debug(const QString &message) const { write(LogLevel::Debug, message); }
    void info(const QString &message) const { write(LogLevel::Info, message); }
    void error(const QString &message) const { write(LogLevel::Error, message); }
    void fault(const QString &message) const { write(LogLevel::Fault, message); }
    bool isEnabled(LogLevel level) const;

    const QString &subsystem() const { return m_subsystem; }
    const QString &category() const { return m_category; }

private:
    void write(LogLevel level, const QString &message) const;

    QString m_subsystem;
    QString m_category;
};

} // namespace cordavelle
