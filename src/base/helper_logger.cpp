#include "helper_logger.h"

#include "platform/platform.h"

namespace cordavelle {

QString HelperLogger::subsystem() { return kApplicationIdentifier; }

QString HelperLogger::categoryName(Category category)
{
    switch (category) {
    case Category::general: return QStringLiteral("general");
    case Category::services: return QStringLiteral("services");
    case Category::network: return QStringLiteral("network");
    case Category::install: return QStringLiteral("install");
    }
    return QStringLiteral("general");
}

void HelperLogger::info(const QString &message, Category category)
{
    Platform::current().logSink().write(LogLevel::Info, subsystem(), categoryName(category), message);
}

void HelperLogger::warning(const QString &message, Category category)
{
    Platform::current().logSink().write(LogLevel::Error, subsystem(), categoryName(category), message);
}

void HelperLogger::error(const QString &message, Category category)
{
    Platform::current().logSink().write(LogLevel::Error, subsystem(), categoryName(category), message);
}

} // namespace cordavelle
