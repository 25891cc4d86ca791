#include "launch_verdict.h"

#include "base/helper_error.h"
#include "base/helper_logger.h"
#include "async/event.h"
#include "core/managed_process.h"
#include "core/port_probe.h"

#include <QPointer>

namespace cordavelle {

namespace {

QString inUse(const ClientPort &port, const PortHolder &holder)
{
    return HelperError::portInUse(port.program + QStringLiteral("'s ") + port.role, port.port, port.configurable, holder)
        .description();
}

} // namespace

std::optional<QString> portOfAnotherUser(const ClientPort &port)
{
    if (port.port < 1 || !portHeldByAnotherUser(port.port)) {
        return std::nullopt;
    }
    return inUse(port, {PortHolder::Kind::anotherUser, {}});
}

std::optional<QString> portHeldElsewhere(const ClientPort &port, const ProcessTree &launched)
{
    if (port.port < 1) {
        return std::nullopt;
    }
    const std::optional<PortHolder> holder = otherHolderOf(port.port, launched);
    if (!holder) {
        return std::nullopt;
    }
    return inUse(port, *holder);
}

std::optional<QString> missingListener(const std::vector<ClientPort> &ports, const ProcessTree &owner,
                                       std::chrono::milliseconds waited)
{
    for (const ClientPort &port : ports) {
        if (port.port < 1 || listensOnPort(port.port, owner)) {
            continue;
        }
        if (std::optional<QString> held = portHeldElsewhere(port, owner)) {
            return held;
        }
        return QStringLiteral("%1 did not open its %2 %3 within %4 s")
            .arg(port.program, port.role, QString::number(port.port), QString::number(waited.count() / 1000));
    }
    return std::nullopt;
}

QCoro::Task<void> failLaunch(ManagedProcess &process, QString reason, std::stop_token cancel)
{
    HelperLogger::error(QStringLiteral("[ServiceOrchestrator] ") + reason, HelperLogger::Category::services);
    QPointer<ManagedProcess> watched(&process);
    process.abandonStart(reason);
    if (process.state() != ServiceRunState::stopping) {
        co_return;
    }
    // The stop ends for sure: SIGKILL follows SIGTERM after its grace period.
    async::Event gone;
    const QMetaObject::Connection watch =
        QObject::connect(&process, &ManagedProcess::stateChanged, &process, [watched, gone] {
            if (watched && watched->state() != ServiceRunState::stopping) {
                gone.set();
            }
        });
    co_await gone.wait(cancel);
    if (watched) {
        QObject::disconnect(watch);
    }
}

bool launchSurvived(ManagedProcess &process, const QString &name, const std::stop_token &cancel,
                    const std::vector<ClientPort> &ports)
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
    std::optional<QString> taken;
    if (state == ServiceRunState::starting || state == ServiceRunState::error) {
        // A child that could not bind its port often just exits; the port's holder is the reason.
        for (const ClientPort &port : ports) {
            if ((taken = portHeldElsewhere(port, {}))) {
                break;
            }
        }
    }
    switch (state) {
    case ServiceRunState::starting:
        // The child exited cleanly before it was ready; a daemon that should keep running has
        // nothing behind it now, so the start must not end as a success.
        reason = name + QStringLiteral(" exited during its start");
        process.failStart(taken.value_or(reason));
        break;
    case ServiceRunState::error:
        reason = name + QStringLiteral(" exited during its start");
        if (const auto error = process.lastError()) {
            reason += QStringLiteral(": ") + *error;
        }
        process.failStart(taken.value_or(reason));
        break;
    case ServiceRunState::stopping:
        reason = name + QStringLiteral(" could not start: its previous process is still stopping");
        break;
    case ServiceRunState::stopped:
    case ServiceRunState::running:
        reason = name + QStringLiteral(" was stopped during its start");
        break;
    }
    if (taken) {
        reason += QStringLiteral(": ") + *taken;
    }
    HelperLogger::error(QStringLiteral("[ServiceOrchestrator] ") + reason, HelperLogger::Category::services);
    return false;
}

ProgramFile checkProgramForLaunch(const QString &service, const QString &path, ProgramUse use, const QString &winePrefix,
                                  const QString &workingFolder)
{
    ProgramFile file = inspectProgramFile(path, use, winePrefix, {}, workingFolder);
    if (file.changeable) {
        throw HelperError::programChangeableByOthers(service, path, *file.changeable);
    }
    return file;
}

} // namespace cordavelle
