#pragma once

#include "core/service_control.h"

namespace cordavelle::test {

// Service control for code under test that never reaches the services: starts and stops do
// nothing and every service reads as an on-demand one with an empty status.
class NoServices final : public ServiceControl {
public:
    ServiceStatus status(ServiceID) const override { return {}; }
    ServiceLifecycleMode lifecycleMode(ServiceID) const override { return ServiceLifecycleMode::onDemand; }
    QCoro::Task<void> startService(ServiceID) override { co_return; }
    QCoro::Task<void> prepareToStopService(ServiceID) override { co_return; }
    void stopService(ServiceID) override {}
    void recordActivity(ServiceID) override {}
    void stopServiceIdle(ServiceID) override {}
};

} // namespace cordavelle::test
