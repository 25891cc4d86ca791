// The restart of a running Direwolf whose PTT goes through the client's rig control when the
// client's rig-control servers change.

#include "service_orchestrator.h"

#include "base/helper_logger.h"
#include "core/config_store.h"
#include "core/managed_process.h"
#include "core/direwolf_start_path.h"
#include "platform/clock.h"
#include "radio/direwolf_config_manager.h"
#include "radio/rig_control_server_choice.h"
#include "radio/rig_control_server_discovery.h"

#include <utility>

namespace cordavelle {

QList<quint16> ServiceOrchestrator::rigControlHelperPorts(const DirewolfConfig &toStart) const
{
    QList<quint16> ports = m_direwolfStart->helperPorts(toStart);
    for (const quint16 port : m_direwolfStart->helperPorts(direwolfConfigInEffect())) {
        if (!ports.contains(port)) {
            ports << port;
        }
    }
    return ports;
}

void ServiceOrchestrator::reactToEndpointChangeLater()
{
    QMetaObject::invokeMethod(this, [this] { reactToEndpointChange(); }, Qt::QueuedConnection);
}

void ServiceOrchestrator::installEndpointChangeObserver()
{
    m_discovery.setOnEndpointsChanged([self = QPointer(this)] {
        if (!self) {
            return;
        }
        self->reactToEndpointChangeLater();
    });
    // A change while Direwolf starts may come after its start chose a server (or VOX); once it
    // runs, the choice is made again so that a server that appeared meanwhile is not left unused.
    connect(&direwolfProcess(), &ManagedProcess::stateChanged, this, [this] {
        const ServiceRunState state = direwolfProcess().state();
        if (state == ServiceRunState::starting || !m_endpointChangeHeldOff) {
            return;
        }
        m_endpointChangeHeldOff = false;
        if (state == ServiceRunState::running) {
            reactToEndpointChangeLater();
        }
    });
}

QCoro::Task<void> ServiceOrchestrator::reactToEndpointChange()
{
    if (m_isReactingToEndpointChange) {
        servicesLog::info(QStringLiteral("[Direwolf] endpoint change during self-inflicted restart cycle \u2014 ignoring "
                                         "(guard active)."));
        holdOffEndpointChange();
        co_return;
    }
    // From the start's choice to its child's launch the service may still read as stopped.
    if (startUnderWay(ServiceID::direwolf) || direwolfProcess().state() == ServiceRunState::starting) {
        holdOffEndpointChange();
        co_return;
    }
    if (direwolfProcess().state() != ServiceRunState::running) {
        co_return;
    }
    const DirewolfConfig config = m_config.direwolfConfig();
    if (!config.pttMethod || config.pttMethod->kind() != DirewolfPTTMethod::Kind::nativeCorvexa) {
        co_return;
    }
    // The choice a start would make now: another user's advert sorting first must neither move
    // Direwolf off the user's own server nor cost it a restart. A server that went away and came
    // back is restarted for, as its connection did not survive it.
    const RigControlServerChoice choice = m_direwolfStart->chooseRigControl(config, rigControlHelperPorts(config));
    const std::optional<RigControlServerEndpoint> &endpoint = choice.chosen;
    const std::optional<RigControlServerEndpoint> &inUse = m_direwolfStart->rigControlInUse();
    // After avahi-daemon came back or renamed this machine, the client announces its server again
    // within a few seconds, though the server itself never went and Direwolf's connection to it
    // stands: it keeps its place until then, unless it is listed elsewhere meanwhile.
    if (inUse && !endpoint) {
        if (const auto left = m_discovery.settlingLeft(DirewolfStartPath::kServerAwayGrace)) {
            servicesLog::info(QStringLiteral("[Direwolf] the server Direwolf keys through (") +
                              DirewolfConfigManager::withoutControlCharacters(inUse->radioName) + QLatin1Char('@') +
                              QString::number(inUse->port) +
                              QStringLiteral(") is not listed since avahi-daemon started over; it keeps its place for %1 s")
                                  .arg(DirewolfStartPath::kServerAwayGrace.count() / 1000));
            reactToEndpointChangeAfter(QPointer(this), *left);
            co_return;
        }
    }
    if (endpoint != inUse) {
        m_direwolfStart->forgetRigControlInUse();
    }
    // A server passed over for the grace of the one away is looked at again once it ends.
    if (const std::optional<std::chrono::milliseconds> left = m_direwolfStart->graceLeft()) {
        reactToEndpointChangeAfter(QPointer(this), *left);
    }
    if (!endpoint && choice.passedOver.empty()) {
        servicesLog::info(QStringLiteral("[Direwolf] endpoint disappeared while running (Cordavelle may have quit); Direwolf "
                                         "stays running with stale config until endpoint reappears."));
        co_return;
    }
    if (!endpoint) {
        QStringList passed;
        for (const PassedOverRigControlServer &server : choice.passedOver) {
            passed << DirewolfConfigManager::withoutControlCharacters(server.server.radioName) + QLatin1Char('@') +
                          QString::number(server.server.port) + QLatin1Char(' ') + server.reason;
        }
        servicesLog::warning(QStringLiteral("[Direwolf] endpoint set changed while running, with no usable endpoint (passed "
                                            "over: ") +
                             passed.join(QStringLiteral("; ")) +
                             QStringLiteral("); Direwolf stays running with stale config until one appears."));
        co_return;
    }
    if (endpoint == m_direwolfStart->rigControlInUse()) {
        servicesLog::info(QStringLiteral("[Direwolf] endpoint set changed while running; effective endpoint ") +
                          DirewolfConfigManager::withoutControlCharacters(endpoint->radioName) + QLatin1Char('@') +
                          QString::number(endpoint->port) + QStringLiteral(" is the one Direwolf keys through. Not restarting."));
        co_return;
    }

    servicesLog::info(QStringLiteral("[Direwolf] endpoint set changed while running; effective endpoint=") + endpoint->radioName +
                      QLatin1Char('@') + QString::number(endpoint->port) +
                      QStringLiteral(". Re-rendering config and restarting."));
    direwolfProcess().appendSyntheticLog(QString::fromUtf8(
        "[Direwolf] Rig control endpoint changed \u2014 restarting Direwolf so the new PTT configuration takes effect."));
    m_isReactingToEndpointChange = true;
    QPointer<ServiceOrchestrator> self(this);
    stopService(ServiceID::direwolf);
    // Taken after the stop, which renews it: a later stop of Direwolf ends this restart.
    const std::stop_token cancel = pendingWork(ServiceID::direwolf);

    std::optional<QString> failure;
    try {
        // Started as any other start is, which waits for the old Direwolf to be gone (its ports
        // would be taken) and gives the new child's ports the helper's holds and the check for
        // another user's program on them.
        if (self && !cancel.stop_requested()) {
            // The rivals seen so far stay rivals across the restart.
            m_direwolfStart->continueSessionAtNextStart(true);
            co_await startInTurn(ServiceID::direwolf, cancel, true);
        }
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self) {
        co_return;
    }
    m_direwolfStart->continueSessionAtNextStart(false);
    if (!failure && !cancel.stop_requested() && direwolfProcess().state() != ServiceRunState::running) {
        failure = QStringLiteral("Direwolf is %1 after its start").arg(toRaw(direwolfProcess().state()));
    }
    if (failure) {
        servicesLog::error(QStringLiteral("[Direwolf] restart after endpoint change failed: ") + *failure);
    }
    clearEndpointChangeGuard(self);
}

void ServiceOrchestrator::holdOffEndpointChange()
{
    m_endpointChangeHeldOff = true;
    // Direwolf's connection to a server ends with it: one that goes away and comes back before the
    // change is looked at must still be restarted for, so it is no longer the one in use.
    const std::optional<RigControlServerEndpoint> &inUse = m_direwolfStart->rigControlInUse();
    if (!inUse) {
        return;
    }
    const DirewolfConfig config = m_config.direwolfConfig();
    const RigControlServerChoice choice = m_direwolfStart->chooseRigControl(config, rigControlHelperPorts(config));
    if (choice.chosen != inUse) {
        m_direwolfStart->forgetRigControlInUse();
    }
}

QCoro::Task<void> ServiceOrchestrator::reactToEndpointChangeAfter(QPointer<ServiceOrchestrator> self,
                                                                  std::chrono::milliseconds after)
{
    if (!self) {
        co_return;
    }
    Clock &clock = self->m_clock;
    co_await clock.sleep(after);
    if (self) {
        self->reactToEndpointChangeLater();
    }
}

QCoro::Task<void> ServiceOrchestrator::clearEndpointChangeGuard(QPointer<ServiceOrchestrator> self)
{
    if (!self) {
        co_return;
    }
    Clock &clock = self->m_clock;
    co_await clock.sleep(kEndpointChangeGuardTime);
    if (!self) {
        co_return;
    }
    self->m_isReactingToEndpointChange = false;
    servicesLog::info(QStringLiteral("[Direwolf] endpoint-change guard cleared; further changes will re-trigger "
                                     "reactToEndpointChange normally."));
    // What changed meanwhile is looked at now, or Direwolf could stay keyed through a server that
    // is gone or no longer the choice.
    if (std::exchange(self->m_endpointChangeHeldOff, false)) {
        self->reactToEndpointChangeLater();
    }
}

} // namespace cordavelle
