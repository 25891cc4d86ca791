#include "log_sink.h"

#include "platform.h"

#include <cstdio>

namespace cordavelle {

const char *logLevelName(LogLevel level)
{
    switch (level) {
    case LogLevel::Debug: return "debug";
    case LogLevel::Info: return "info";
    case LogLevel::Notice: return "notice";
    case LogLevel::Error: return "error";
    case LogLevel::Fault: return "fault";
    }
    return "notice";
}

void StderrLogSink::write(LogLevel level, const QString &subsystem, const QString &category,
                          const QString &message)
{
    const QByteArray line = QStringLiteral("%1 %2[%3] %4\n")
                                .arg(QLatin1String(logLevelName(level)), subsystem, category, message)
                                .toUtf8();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fflush(stderr);
}

Logger::Logger(QString subsystem, QString category)
    : m_subsystem(std::move(subsystem)), m_category(std::move(category))
{
}

void Logger::write(LogLevel level, const QString &message) const
{
    Platform::current().logSink().write(level, m_subsystem, m_category, message);
}

} // namespace cordavelle
