#pragma once

#include "core/service_control.h"

namespace cordavelle {

class ServiceOrchestrator;

// The service orchestrator behind the interface that the API's routes and the installers use.
class OrchestratorServiceControl final : public ServiceControl {
public:
    explicit OrchestratorServiceControl(ServiceOrchestrator &orchestrator) : m_orchestrator(orchestrator) {}

    ServiceStatus status(ServiceID id) const override;
    ServiceLifecycleMode lifecycleMode(ServiceID id) const override;
    QCoro::Task<void> startService(ServiceID id) override;
    QCoro::Task<void> prepareToStopService(ServiceID id) override;
    void stopService(ServiceID id) override;
    void recordActivity(ServiceID id) override;
    void stopServiceIdle(ServiceID id) override;
    void showStartError(ServiceID id, const QString &error) override;
    std::optional<QString> startError(ServiceID id) const override;

private:
    ServiceOrchestrator &m_orchestrator;
};

} // namespace cordavelle
