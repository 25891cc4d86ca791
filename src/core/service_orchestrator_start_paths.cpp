// The start path of each service: what it checks, how its program is launched and when it
// counts as ready.

#include "service_orchestrator.h"

#include <stdexcept>

namespace cordavelle {

namespace {

[[noreturn]] void startPathMissing(ServiceID id)
{
    throw std::runtime_error(QStringLiteral("Starting %1 is not built yet").arg(displayName(id)).toStdString());
}

} // namespace

QCoro::Task<void> ServiceOrchestrator::startVARA(VARAVariant variant, std::stop_token)
{
    startPathMissing(serviceID(variant));
    co_return;
}

QCoro::Task<void> ServiceOrchestrator::startRigctld(std::stop_token)
{
    startPathMissing(ServiceID::rigctld);
    co_return;
}

QCoro::Task<void> ServiceOrchestrator::startDirewolf(std::stop_token)
{
    startPathMissing(ServiceID::direwolf);
    co_return;
}

void ServiceOrchestrator::installEndpointChangeObserver() {}

} // namespace cordavelle
