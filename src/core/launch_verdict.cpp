#include "launch_verdict.h"

#include "base/helper_error.h"
#include "base/helper_logger.h"
#include "core/managed_process.h"

namespace cordavelle {

bool launchSurvived(ManagedProcess &process, const QString &name, const std::stop_token &cancel)
{
    if (cancel.stop_requested()) {
        return false;
    }
    const ServiceRunState state = process.state();
    if ((state == ServiceRunState::starting && process.pid()) || state == ServiceRunState::running) {
        return true;
    }
    // The start returns normally whatever happened: the caller replies with the service's record,
    // whose state and last error tell the story.
    QString reason;
    switch (state) {
    case ServiceRunState::starting:
        // The child exited cleanly before it was ready; a daemon that should keep running has
        // nothing behind it now, so the start must not end as a success.
        reason = name + QStringLiteral(" exited during its start");
        process.failStart(reason);
        break;
    case ServiceRunState::error:
        reason = name + QStringLiteral(" exited during its start");
        if (const auto error = process.lastError()) {
            reason += QStringLiteral(": ") + *error;
        }
        process.failStart(reason);
        break;
    case ServiceRunState::stopping:
        reason = name + QStringLiteral(" could not start: its previous process is still stopping");
        break;
    case ServiceRunState::stopped:
    case ServiceRunState::running:
        reason = name + QStringLiteral(" was stopped during its start");
        break;
    }
    HelperLogger::error(QStringLiteral("[ServiceOrchestrator] ") + reason, HelperLogger::Category::services);
    return false;
}

ProgramFile checkProgramForLaunch(const QString &service, const QString &path, ProgramUse use, const QString &winePrefix)
{
    ProgramFile file = inspectProgramFile(path, use, winePrefix);
    if (file.changeable) {
        throw HelperError::programChangeableByOthers(service, path, *file.changeable);
    }
    return file;
}

} // namespace cordavelle
