#pragma once

#include <QString>

namespace cordavelle {

// The one logging call of the service core, the installers and the modem integration. Callers
// build the whole text themselves, including their "[Component] " tag; the facade only picks the
// channel and the level.
class HelperLogger {
public:
    enum class Category { general, services, network, install };

    HelperLogger() = delete;

    static QString subsystem();
    static QString categoryName(Category category);

    static void info(const QString &message, Category category = Category::general);
    // Warnings are written at the error level, like errors.
    static void warning(const QString &message, Category category = Category::general);
    static void error(const QString &message, Category category = Category::general);
};

// The services channel, which the service core and its start paths write to.
namespace servicesLog {
inline void info(const QString &message) { HelperLogger::info(message, HelperLogger::Category::services); }
inline void warning(const QString &message) { HelperLogger::warning(message, HelperLogger::Category::services); }
inline void error(const QString &message) { HelperLogger::error(message, HelperLogger::Category::services); }
} // namespace servicesLog

} // namespace cordavelle
