#include "logger.h"

#include "platform.h"

namespace cordavelle {

Logger::Logger(QString subsystem, QString category)
    : m_subsystem(std::move(subsystem)), m_category(std::move(category))
{
}

bool Logger::isEnabled(LogLevel level) const { return Platform::current().logSink().isEnabled(level); }

void Logger::write(LogLevel level, const QString &message) const
{
    LogSink &sink = Platform::current().logSink();
    if (sink.isEnabled(level)) {
        sink.write(level, m_subsystem, m_category, message);
    }
}

} // namespace cordavelle
