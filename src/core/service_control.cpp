#include "service_control.h"

#include <exception>

namespace cordavelle {

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
