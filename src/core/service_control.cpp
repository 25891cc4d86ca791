#include "service_control.h"

#include "base/helper_logger.h"

#include <exception>

namespace cordavelle {

QString logStartFailure(ServiceID id, const QString &reason)
{
    const QString line = QStringLiteral("[ServiceOrchestrator] Start of %1 failed: %2").arg(toRaw(id), reason);
    servicesLog::error(line);
    return line;
}

QCoro::Task<void> startFromWindow(ServiceControl &services, ServiceID id)
{
    std::optional<QString> failure;
    try {
        co_await services.startService(id);
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (failure) {
        services.showStartError(id, *failure);
    }
}

} // namespace cordavelle
