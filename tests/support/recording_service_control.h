#pragma once

#include "core/service_control.h"
#include "base/helper_error.h"

#include <QStringList>

#include <functional>
#include <map>
#include <optional>

namespace cordavelle::test {

// The orchestrator as its callers see it: states and modes set by the test, every call recorded
// ("start vara-hf", "prepare rigctld", "stop direwolf", …).
class RecordingServiceControl final : public ServiceControl {
public:
    ServiceStatus status(ServiceID id) const override
    {
        ServiceStatus s;
        s.id = toRaw(id);
        s.displayName = displayName(id);
        s.state = states.contains(id) ? states.at(id) : ServiceRunState::stopped;
        s.lifecycleMode = lifecycleMode(id);
        return s;
    }
    ServiceLifecycleMode lifecycleMode(ServiceID id) const override
    {
        return modes.contains(id) ? modes.at(id) : ServiceLifecycleMode::onDemand;
    }
    QCoro::Task<void> startService(ServiceID id) override
    {
        calls.push_back("start " + toRaw(id));
        if (startFailure) {
            throw *startFailure;
        }
        states[id] = ServiceRunState::running;
        co_return;
    }
    QCoro::Task<void> prepareToStopService(ServiceID id) override
    {
        calls.push_back("prepare " + toRaw(id));
        if (onPrepare) {
            onPrepare(id);
        }
        co_return;
    }
    void stopService(ServiceID id) override
    {
        calls.push_back("stop " + toRaw(id));
        states[id] = ServiceRunState::stopped;
    }
    void recordActivity(ServiceID id) override { calls.push_back("activity " + toRaw(id)); }
    void stopServiceIdle(ServiceID id) override { calls.push_back("idle stop " + toRaw(id)); }
    void showStartError(ServiceID id, const QString &error) override
    {
        calls.push_back("start error " + toRaw(id) + ": " + error);
        startErrors[id] = error;
    }
    std::optional<QString> startError(ServiceID id) const override
    {
        return startErrors.contains(id) ? std::optional(startErrors.at(id)) : std::nullopt;
    }

    std::map<ServiceID, ServiceRunState> states;
    std::map<ServiceID, ServiceLifecycleMode> modes;
    std::optional<HelperError> startFailure;
    std::map<ServiceID, QString> startErrors;
    // Runs while the caller waits for a prepare, as a user's action would come in then.
    std::function<void(ServiceID)> onPrepare;
    QStringList calls;
};

} // namespace cordavelle::test
