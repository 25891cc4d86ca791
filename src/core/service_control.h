#pragma once

#include "base/service_model.h"
#include "base/service_status.h"

#include <QCoroTask>

namespace cordavelle {

// What the API's routes ask of the service orchestrator: status, start and stop, and the
// idle-shutdown stamps. The app puts the orchestrator behind it (OrchestratorServiceControl);
// tests drive the routes with a double.
class ServiceControl {
public:
    virtual ~ServiceControl() = default;

    virtual ServiceStatus status(ServiceID id) const = 0;
    virtual ServiceLifecycleMode lifecycleMode(ServiceID id) const = 0;
    // Starts the service when it is stopped or in error; may throw (HelperError).
    virtual QCoro::Task<void> startService(ServiceID id) = 0;
    // The work that must come before a stop (switching the radio off before rigctld ends).
    virtual QCoro::Task<void> prepareToStopService(ServiceID id) = 0;
    virtual void stopService(ServiceID id) = 0;
    // The idle-shutdown controller's activity stamp and delayed stop of an on-demand service.
    virtual void recordActivity(ServiceID id) = 0;
    virtual void stopServiceIdle(ServiceID id) = 0;
    // Shows what a start asked for in a window threw in the service's error line, until its next
    // start or stop; the API's replies never carry it. Callers without windows have no use for it.
    virtual void showStartError(ServiceID, const QString &) {}
    // The error showStartError shows, while it shows.
    virtual std::optional<QString> startError(ServiceID) const { return std::nullopt; }
};

// Logs a start that failed with `reason`, for the callers that have no line of their own for it
// (a window, the API), and returns the line. The start paths log nothing of what they throw, so
// that each failed start reads as one line whichever way it was asked for.
QString logStartFailure(ServiceID id, const QString &reason);

// A start asked for in a window (a page's header, the status menu): what it throws is shown
// through showStartError rather than reaching the caller, which has no one to tell.
QCoro::Task<void> startFromWindow(ServiceControl &services, ServiceID id);

} // namespace cordavelle
