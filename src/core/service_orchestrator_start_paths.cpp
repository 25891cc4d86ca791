// What the three start paths share: the verdict on a child right after its launch.

#include "service_orchestrator.h"

namespace cordavelle {

bool ServiceOrchestrator::launchSurvived(ManagedProcess &process, const QString &name, const std::stop_token &cancel)
{
    if (cancel.stop_requested()) {
        return false;
    }
    const ServiceRunState state = process.state();
    if ((state == ServiceRunState::starting && process.pid()) || state == ServiceRunState::running) {
        return true;
    }
    QString reason;
    switch (state) {
    case ServiceRunState::starting:
        // The child exited cleanly before it was ready; a daemon that should keep running has
        // nothing behind it now, so the start must not be reported as a success.
        process.stop();
        reason = name + QStringLiteral(" exited during its start");
        process.setLastError(reason);
        break;
    case ServiceRunState::error:
        reason = name + QStringLiteral(" exited during its start");
        if (const auto error = process.lastError()) {
            reason += QStringLiteral(": ") + *error;
        }
        break;
    case ServiceRunState::stopping:
        reason = name + QStringLiteral(" could not start: its previous process is still stopping");
        break;
    case ServiceRunState::stopped:
    case ServiceRunState::running:
        reason = name + QStringLiteral(" was stopped during its start");
        break;
    }
    throw ProcessLaunchError(reason);
}

} // namespace cordavelle
