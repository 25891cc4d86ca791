#include "service_orchestrator.h"

#include "base/helper_error.h"
#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "core/orphan_reaper.h"
#include "core/service_control.h"
#include "core/wine_prefix_hold.h"
#include "platform/notifications.h"
#include "platform/platform.h"
#include "radio/audio_device_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/radio_power_controller.h"
#include "radio/rig_control_server_discovery.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QScopeGuard>

namespace cordavelle {

using namespace std::chrono_literals;

namespace {

constexpr auto kSettlePollInterval = 100ms;
// How long a start of one VARA variant waits for the other to be gone.
constexpr auto kOtherVariantStopLimit = 3000ms;
// How long a start waits for the child of an earlier start to be gone; it is killed 2 s after its
// stop began.
constexpr auto kEarlierChildStopLimit = 3000ms;

} // namespace

ServiceOrchestrator &ServiceOrchestrator::shared()
{
    // Never destroyed: the delegate, the API and the views reach it until the process ends.
    static auto *instance = new ServiceOrchestrator(
        ConfigStore::shared(), KeepaliveRequestAdvertiser::shared(), RigControlServerDiscovery::shared(),
        AudioDeviceManager::shared(), Platform::current().clock(), Platform::current().commandRunner(),
        Platform::current().wineDrivers(), Platform::current().notifications(), WinePrefixHold::shared());
    return *instance;
}

ServiceOrchestrator::ServiceOrchestrator(ConfigStore &config, KeepaliveRequestAdvertiser &keepalive,
                                         RigControlServerDiscovery &discovery, const AudioDeviceManager &audio,
                                         Clock &clock, CommandRunner &runner, const WineDrivers &wineDrivers,
                                         Notifications &notifications, const WinePrefixHold &prefixHold,
                                         StartPathStandIns standIns, QObject *parent)
    : QObject(parent),
      m_config(config),
      m_keepalive(keepalive),
      m_discovery(discovery),
      m_clock(clock),
      m_notifications(notifications),
      m_prefixHold(prefixHold),
      m_orphanReaper(runner, clock),
      m_portReaper(runner, clock),
      m_varaProcess(new ManagedProcess(ServiceID::varaHF, clock, this)),
      m_varaFMProcess(new ManagedProcess(ServiceID::varaFM, clock, this)),
      m_rigctldProcess(new ManagedProcess(ServiceID::rigctld, clock, this)),
      m_direwolfProcess(new ManagedProcess(ServiceID::direwolf, clock, this)),
      m_radioPower(new RadioPowerController(clock, this)),
      m_varaHFStart(std::make_unique<VARAStartPath>(VARAVariant::hf, config, clock, *m_varaProcess, m_orphanReaper,
                                                    wineDrivers, prefixHold)),
      m_varaFMStart(std::make_unique<VARAStartPath>(VARAVariant::fm, config, clock, *m_varaFMProcess, m_orphanReaper,
                                                    wineDrivers, prefixHold)),
      m_rigctldStart(std::make_unique<RigctldStartPath>(config, *m_rigctldProcess, *m_radioPower, m_orphanReaper)),
      m_direwolfStart(std::make_unique<DirewolfStartPath>(
          config, clock, *m_direwolfProcess, *m_rigctldProcess, [this] { return startRigctldForDirewolf(); },
          [this] { return rigctldConfigInEffect().tcpPort; }, keepalive, discovery, audio)),
      m_standIns(std::move(standIns))
{
    wireUnexpectedExitHandlers();
    installEndpointChangeObserver();
    connect(&config, &ConfigStore::allowNetworkAccessChanged, this, &ServiceOrchestrator::followNetworkAccess);
    for (ServiceID id : allCases<ServiceID>()) {
        connect(&process(id), &ManagedProcess::stateChanged, this, [this, id] {
            // A start under way keeps them between its launch attempts and lets go of them at
            // its end.
            const ServiceRunState state = process(id).state();
            if ((state == ServiceRunState::stopped || state == ServiceRunState::error) && !startUnderWay(id)) {
                m_portHolds.erase(id);
            }
        });
    }
}

ServiceOrchestrator::~ServiceOrchestrator()
{
    // Ends the back-offs and starts still under way; the children themselves are left alone.
    for (auto &[id, source] : m_pendingWork) {
        source.request_stop();
    }
}

ManagedProcess &ServiceOrchestrator::process(ServiceID id) const
{
    switch (id) {
    case ServiceID::varaHF: return *m_varaProcess;
    case ServiceID::varaFM: return *m_varaFMProcess;
    case ServiceID::rigctld: return *m_rigctldProcess;
    case ServiceID::direwolf: return *m_direwolfProcess;
    }
    Q_UNREACHABLE();
}

ServiceLifecycleMode ServiceOrchestrator::lifecycleMode(ServiceID id) const { return m_config.lifecycleMode(id); }

ServiceStatus ServiceOrchestrator::status(ServiceID id) const
{
    const ManagedProcess &proc = process(id);
    ServiceStatus status;
    status.id = toRaw(id);
    status.displayName = displayName(id);
    switch (id) {
    case ServiceID::varaHF:
    case ServiceID::varaFM: {
        // Both modems answer on the same pair of ports.
        const VARAVariant variant = id == ServiceID::varaHF ? VARAVariant::hf : VARAVariant::fm;
        status.ports = {{QStringLiteral("command"), commandPort(variant)}, {QStringLiteral("data"), dataPort(variant)}};
        break;
    }
    case ServiceID::rigctld:
        status.ports = {{QStringLiteral("tcp"), rigctldConfigInEffect().tcpPort}};
        break;
    case ServiceID::direwolf: {
        const DirewolfConfig direwolf = direwolfConfigInEffect();
        status.ports = {{QStringLiteral("kiss"), direwolf.kissPort}, {QStringLiteral("agw"), direwolf.agwPort}};
        break;
    }
    }
    status.state = proc.state();
    status.lifecycleMode = lifecycleMode(id);
    status.pid = proc.pid();
    status.error = proc.lastError();
    status.uptime = proc.uptime();
    return status;
}

namespace {

// Whether the service's child of the last launch is still there: launched, and not yet handled
// as gone.
bool childLaunched(const ManagedProcess &process)
{
    const ServiceRunState state = process.state();
    return state == ServiceRunState::starting || state == ServiceRunState::running || state == ServiceRunState::stopping;
}

} // namespace

RigctldConfig ServiceOrchestrator::rigctldConfigInEffect() const
{
    const std::optional<RigctldConfig> &launched = m_rigctldStart->launchedConfig();
    return launched && childLaunched(*m_rigctldProcess) ? *launched : m_config.rigctldConfig();
}

DirewolfConfig ServiceOrchestrator::direwolfConfigInEffect() const
{
    const std::optional<DirewolfConfig> &launched = m_direwolfStart->launchedConfig();
    return launched && childLaunched(*m_direwolfProcess) ? *launched : m_config.direwolfConfig();
}

// --- starting

std::stop_token ServiceOrchestrator::pendingWork(ServiceID id) { return m_pendingWork[id].get_token(); }

void ServiceOrchestrator::cancelPendingWork(ServiceID id)
{
    auto it = m_pendingWork.find(id);
    if (it != m_pendingWork.end()) {
        it->second.request_stop();
        // A fresh source for whatever is started after this stop.
        it->second = std::stop_source();
    }
}

bool ServiceOrchestrator::mayStart(ServiceID id) const
{
    const ServiceRunState state = process(id).state();
    return state == ServiceRunState::stopped || state == ServiceRunState::error;
}

std::shared_ptr<const ServiceOrchestrator::StartUnderWay> ServiceOrchestrator::startUnderWay(ServiceID id) const
{
    const auto it = m_startsInFlight.find(id);
    return it == m_startsInFlight.end() ? nullptr : it->second;
}

QCoro::Task<void> ServiceOrchestrator::startService(ServiceID id, std::stop_token cancel)
{
    idleShutdown().cancelIdleTimer(id);
    idleShutdown().recordActivity(id);
    if (const std::shared_ptr<const StartUnderWay> underWay = startUnderWay(id)) {
        // Joined rather than refused or queued: an answer before the start's end would read as
        // success while it may still fail, and a request that waited its turn would launch the
        // program again after a failure. A start that returned with the service down (its child
        // died while it started) is that start's outcome too, which the caller reads off the
        // service: nothing is launched again for it.
        const bool ended = co_await underWay->ended.wait(cancel);
        if (ended && underWay->failure) {
            std::rethrow_exception(underWay->failure);
        }
        co_return;
    }
    if (!mayStart(id)) {
        co_return;
    }
    co_await startInTurn(id, cancel, true);
}

QCoro::Task<void> ServiceOrchestrator::startRigctldForDirewolf()
{
    if (const std::shared_ptr<const StartUnderWay> underWay = startUnderWay(ServiceID::rigctld)) {
        // Joined rather than raced: a second start's sweep of stray rigctld daemons would kill the
        // first one's child. Its outcome is Direwolf's as well; Direwolf reads it off the service.
        const bool ended = co_await underWay->ended.wait();
        if (ended && underWay->failure) {
            std::rethrow_exception(underWay->failure);
        }
        co_return;
    }
    if (!mayStart(ServiceID::rigctld)) {
        co_return;
    }
    co_await startInTurn(ServiceID::rigctld, {}, false);
}

QCoro::Task<void> ServiceOrchestrator::startInTurn(ServiceID id, std::stop_token cancel, bool reapPorts)
{
    // Marked before the first suspension: the child is launched only after the clean-up below,
    // and every start that comes meanwhile must find this one.
    const auto underWay = std::make_shared<StartUnderWay>();
    m_startsInFlight[id] = underWay;
    process(id).setStartError(std::nullopt);
    QPointer<ServiceOrchestrator> self(this);
    const auto endOfStart = qScopeGuard([self, id, underWay] {
        if (self) {
            const auto it = self->m_startsInFlight.find(id);
            if (it != self->m_startsInFlight.end() && it->second == underWay) {
                self->m_startsInFlight.erase(it);
            }
        }
        underWay->ended.set();
    });
    // A stop forgets the start it cancels, so that the next start is not refused; that next start
    // still waits here until the cancelled one has ended, as the clean-up of the cancelled one
    // (killing stray copies of the program, reaping its ports) would otherwise reach the child
    // the next one launches.
    const async::Event previousTurn = takeTurn(id);
    const async::Event thisTurn = m_startTurns[id];
    const auto endOfTurn = qScopeGuard([thisTurn] { thisTurn.set(); });

    // Ends this start when the caller gives up or the service is stopped meanwhile.
    std::stop_source combined;
    std::stop_callback byCaller(cancel, [&combined] { combined.request_stop(); });
    std::stop_callback byStop(pendingWork(id), [&combined] { combined.request_stop(); });
    const std::stop_token token = combined.get_token();

    co_await previousTurn;
    if (!self || token.stop_requested()) {
        co_return;
    }
    // The child of a start that a stop cut short may still be on its way out.
    co_await waitWhileStopping(m_clock, QPointer(&process(id)), kEarlierChildStopLimit, token);
    if (!self || token.stop_requested()) {
        co_return;
    }
    const ServiceRunState state = process(id).state();
    if (state != ServiceRunState::stopped && state != ServiceRunState::error) {
        co_return;
    }

    if (const std::optional<HelperError> held = portTakenByAnotherUser(id)) {
        // Such a listener can't be ended, and it would answer for a child that failed to bind:
        // nothing is launched, and the start says why.
        process(id).failStart(held->description());
        underWay->failure = std::make_exception_ptr(*held);
        throw *held;
    }
    if (id == ServiceID::varaHF || id == ServiceID::varaFM) {
        co_await stopOtherVARAVariant(id, token);
    }
    if (reapPorts) {
        const std::optional<QString> portsHeld = co_await reapStaleProcessesHoldingPorts(id, token);
        if (!self || token.stop_requested()) {
            co_return;
        }
        if (portsHeld) {
            // Another program's listener would also pass the readiness check of the port.
            process(id).failStart(*portsHeld);
            co_return;
        }
    }
    if (id == ServiceID::varaHF || id == ServiceID::varaFM) {
        // The variant stopped above held the same ports, and may not be gone yet.
        m_portHolds.erase(id == ServiceID::varaHF ? ServiceID::varaFM : ServiceID::varaHF);
    }
    // Taken before the launch, on addresses the child never binds: no other user can take them
    // between this check and the child's listening.
    HeldAddresses held{m_config.allowNetworkAccess(), clientPorts(id), {}};
    if (const std::optional<HelperError> taken = holdOtherFamily(id, held.holds)) {
        process(id).failStart(taken->description());
        underWay->failure = std::make_exception_ptr(*taken);
        throw *taken;
    }
    const bool networkAccess = held.networkAccess;
    // Kept from before the launch, where a change of network access finds them, until the child
    // is gone; a start that failed or was stopped meanwhile lets go of them at its end.
    m_portHolds[id] = std::move(held);
    const auto endOfHolds = qScopeGuard([self, id] {
        if (!self) {
            return;
        }
        const ServiceRunState started = self->process(id).state();
        if (started != ServiceRunState::starting && started != ServiceRunState::running) {
            self->m_portHolds.erase(id);
        }
    });
    try {
        co_await dispatchStart(id, token, networkAccess);
    } catch (...) {
        underWay->failure = std::current_exception();
        throw;
    }
}

async::Event ServiceOrchestrator::takeTurn(ServiceID id)
{
    auto it = m_startTurns.find(id);
    if (it == m_startTurns.end()) {
        async::Event none;
        none.set();
        it = m_startTurns.emplace(id, none).first;
    }
    return std::exchange(it->second, async::Event());
}

QCoro::Task<void> ServiceOrchestrator::dispatchStart(ServiceID id, std::stop_token cancel, bool networkAccess)
{
    if (const StartPath standIn = m_standIns ? m_standIns(id) : StartPath()) {
        co_await standIn(id, cancel);
        co_return;
    }
    switch (id) {
    case ServiceID::varaHF: co_await m_varaHFStart->start(cancel); break;
    case ServiceID::varaFM: co_await m_varaFMStart->start(cancel); break;
    case ServiceID::rigctld: co_await m_rigctldStart->start(cancel, networkAccess); break;
    case ServiceID::direwolf: co_await m_direwolfStart->start(cancel); break;
    }
}

QCoro::Task<void> ServiceOrchestrator::stopOtherVARAVariant(ServiceID id, std::stop_token cancel)
{
    const ServiceID other = id == ServiceID::varaHF ? ServiceID::varaFM : ServiceID::varaHF;
    const ServiceRunState state = process(other).state();
    if (state != ServiceRunState::running && state != ServiceRunState::starting) {
        co_return;
    }
    servicesLog::info(QStringLiteral("[ServiceOrchestrator] Stopping %1 before starting %2: both share one Wine prefix and "
                                     "port %3")
                          .arg(toRaw(other), toRaw(id), QString::number(commandPort(VARAVariant::hf))));
    stopService(other);
    co_await waitWhileStopping(m_clock, QPointer(&process(other)), kOtherVariantStopLimit, cancel);
}

QCoro::Task<void> ServiceOrchestrator::waitWhileStopping(Clock &clock, QPointer<ManagedProcess> process,
                                                         std::chrono::milliseconds limit, std::stop_token cancel)
{
    const auto deadline = clock.now() + limit;
    while (process && process->state() == ServiceRunState::stopping && clock.now() < deadline) {
        const bool slept = co_await clock.sleep(kSettlePollInterval, cancel);
        if (!slept) {
            co_return;
        }
    }
}

void ServiceOrchestrator::startAlwaysOnServices()
{
    for (ServiceID id : {ServiceID::varaHF, ServiceID::varaFM, ServiceID::rigctld}) {
        if (lifecycleMode(id) != ServiceLifecycleMode::alwaysOn) {
            continue;
        }
        QMetaObject::invokeMethod(
            this, [self = QPointer(this), id] { startAlwaysOn(self, id); }, Qt::QueuedConnection);
    }
}

QCoro::Task<void> ServiceOrchestrator::startAlwaysOn(QPointer<ServiceOrchestrator> self, ServiceID id)
{
    const std::stop_token cancel = self->pendingWork(id);
    const std::optional<QString> failure = co_await startFailure(self, id, cancel);
    if (!self || cancel.stop_requested()) {
        co_return;
    }
    if (failure) {
        servicesLog::error(QStringLiteral("[ServiceOrchestrator] Always-on start of %1 failed: %2").arg(toRaw(id), *failure));
        self->scheduleRestart(id, 1);
    }
}

void ServiceOrchestrator::showStartError(ServiceID id, const QString &error)
{
    process(id).appendSyntheticLog(logStartFailure(id, error));
    process(id).setStartError(error);
}

// --- stopping

QCoro::Task<void> ServiceOrchestrator::prepareToStopService(ServiceID id)
{
    if (id == ServiceID::rigctld) {
        // The running rigctld's port: a port stored since is not where it listens.
        co_await m_radioPower->handlePreStop(rigctldConfigInEffect().tcpPort);
    }
}

void ServiceOrchestrator::stopService(ServiceID id) { stopService(id, false); }

void ServiceOrchestrator::stopService(ServiceID id, bool quitting)
{
    idleShutdown().cancelIdleTimer(id);
    cancelPendingWork(id);
    m_startsInFlight.erase(id);
    process(id).setStartError(std::nullopt);
    // A stopped variant's Wine server went with its stop (or with the start-up clean-up).
    const bool spareWineServer = quitting && process(id).state() == ServiceRunState::stopped;
    process(id).stop();
    switch (id) {
    case ServiceID::varaHF:
    case ServiceID::varaFM: {
        // One Wine server serves both modems and the installers: it goes only when the other
        // modem is not in use and no installer runs Wine in the prefix.
        const ServiceRunState other = process(id == ServiceID::varaHF ? ServiceID::varaFM : ServiceID::varaHF).state();
        if (!spareWineServer && other != ServiceRunState::running && other != ServiceRunState::starting &&
            !m_prefixHold.holder()) {
            m_orphanReaper.killWineserver();
        }
        break;
    }
    case ServiceID::rigctld:
        break;
    case ServiceID::direwolf:
        m_keepalive.stopAdvertising();
        break;
    }
}

QCoro::Task<void> ServiceOrchestrator::stopAllServices()
{
    QPointer<ServiceOrchestrator> self(this);
    Clock &clock = m_clock;
    const auto deadline = clock.now() + kStopAllTimeLimit;
    idleShutdown().stopIdleMonitor();
    for (ServiceID id : allCases<ServiceID>()) {
        co_await prepareToStopService(id);
        if (!self) {
            co_return;
        }
        stopService(id, true);
    }
    // Children that ignore SIGTERM are killed 2 s after it; quitting waits for that.
    for (ServiceID id : allCases<ServiceID>()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock.now());
        if (!self || left <= 0ms) {
            co_return;
        }
        co_await waitWhileStopping(clock, QPointer(&self->process(id)), left);
    }
}

// --- idle shutdown

IdleShutdownController &ServiceOrchestrator::idleShutdown()
{
    if (!m_idleShutdown) {
        QPointer<ServiceOrchestrator> self(this);
        m_idleShutdown = std::make_unique<IdleShutdownController>(
            [self] { return self ? self->m_config.idleShutdownDelay() : -1; },
            [self](ServiceID id) {
                return self && self->lifecycleMode(id) == ServiceLifecycleMode::onDemand
                    && self->process(id).state() == ServiceRunState::running;
            },
            [self](ServiceID id) -> QCoro::Task<void> {
                if (!self) {
                    co_return;
                }
                co_await self->prepareToStopService(id);
                if (self) {
                    self->stopService(id);
                }
            },
            m_clock);
    }
    return *m_idleShutdown;
}

void ServiceOrchestrator::recordActivity(ServiceID id) { idleShutdown().recordActivity(id); }

void ServiceOrchestrator::stopServiceIdle(ServiceID id) { idleShutdown().stopServiceIdle(id); }

void ServiceOrchestrator::startIdleMonitor() { idleShutdown().startIdleMonitor(); }

// --- start-up clean-up and look-ups

QCoro::Task<void> ServiceOrchestrator::cleanupOrphanedProcesses()
{
    QPointer<ServiceOrchestrator> self(this);
    // Takes rigctld's turn like a start, so that a start of rigctld waits for the sweep. A start
    // that came first has swept for itself, and its child is no orphan.
    if (!m_startsInFlight.contains(ServiceID::rigctld)) {
        const async::Event previousTurn = takeTurn(ServiceID::rigctld);
        const async::Event thisTurn = m_startTurns[ServiceID::rigctld];
        const auto endOfTurn = qScopeGuard([thisTurn] { thisTurn.set(); });
        co_await previousTurn;
        if (!self) {
            co_return;
        }
        if (rigctldProcess().state() == ServiceRunState::stopped && !rigctldProcess().pid()) {
            co_await m_orphanReaper.killStaleProcesses(QStringLiteral("rigctld"));
            if (!self) {
                co_return;
            }
        }
    }
    m_orphanReaper.killWineserver();
}

bool ServiceOrchestrator::isVARAInstalled(VARAVariant variant)
{
    return QFileInfo::exists(places::varaExecutable(variant));
}

bool ServiceOrchestrator::isRigctldInstalled() const { return tools::findRigctld().has_value(); }

std::optional<bool> ServiceOrchestrator::radioPowerSupported() const { return m_radioPower->radioPowerSupported(); }

} // namespace cordavelle
