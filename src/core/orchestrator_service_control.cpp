#include "orchestrator_service_control.h"

#include "core/service_orchestrator.h"

namespace cordavelle {

ServiceStatus OrchestratorServiceControl::status(ServiceID id) const { return m_orchestrator.status(id); }

ServiceLifecycleMode OrchestratorServiceControl::lifecycleMode(ServiceID id) const
{
    return m_orchestrator.lifecycleMode(id);
}

QCoro::Task<void> OrchestratorServiceControl::startService(ServiceID id) { return m_orchestrator.startService(id); }

QCoro::Task<void> OrchestratorServiceControl::prepareToStopService(ServiceID id)
{
    return m_orchestrator.prepareToStopService(id);
}

void OrchestratorServiceControl::stopService(ServiceID id) { m_orchestrator.stopService(id); }

void OrchestratorServiceControl::recordActivity(ServiceID id) { m_orchestrator.recordActivity(id); }

void OrchestratorServiceControl::stopServiceIdle(ServiceID id) { m_orchestrator.stopServiceIdle(id); }

void OrchestratorServiceControl::showStartError(ServiceID id, const QString &error)
{
    m_orchestrator.showStartError(id, error);
}

std::optional<QString> OrchestratorServiceControl::startError(ServiceID id) const
{
    return m_orchestrator.process(id).startError();
}

} // namespace cordavelle
