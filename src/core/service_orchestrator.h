#pragma once

#include "async/event.h"
#include "base/helper_error.h"
#include "base/service_config.h"
#include "base/service_model.h"
#include "base/service_status.h"
#include "core/direwolf_start_path.h"
#include "core/idle_shutdown_controller.h"
#include "core/managed_process.h"
#include "core/orphan_reaper.h"
#include "core/port_reaper.h"
#include "core/rigctld_start_path.h"
#include "core/vara_start_path.h"
#include "platform/port_hold.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stop_token>

namespace cordavelle {

class AudioDeviceManager;
class Clock;
class CommandRunner;
class ConfigStore;
class KeepaliveRequestAdvertiser;
class Notifications;
class RadioPowerController;
class RigControlServerDiscovery;
class WineDrivers;
class WinePrefixHold;

// Owns the four supervised services: one child process each, their status records, starts
// through each service's start path (in the order and with the clean-up before it that each
// service needs), stops with the clean-up each one needs, restarts of
// always-on services that crash, and the idle shutdown of on-demand ones.
//
// Main thread only. Every wait goes through the clock it is given.
class ServiceOrchestrator final : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxRestartAttempts = 5;
    // How long quitting waits at most for the children to be gone.
    static constexpr std::chrono::milliseconds kStopAllTimeLimit{5000};

    // A start path: launches the service's child and marks it running once it is ready.
    using StartPath = std::function<QCoro::Task<void>(ServiceID id, std::stop_token cancel)>;
    // Asked at each start for a path that stands in for the service's own one (none: its own).
    // Tests drive the orchestrator's rules with plain children through it.
    using StartPathStandIns = std::function<StartPath(ServiceID id)>;

    // The instance on the shared configuration store, keep-alive advertiser, discovery and sound
    // devices, the prefix's hold, and the platform's clock, command runner, Wine drivers and
    // notifications.
    static ServiceOrchestrator &shared();

    // `audio`: the sound devices that direwolf.conf is written from; `runner`: what clears
    // stale processes; `wineDrivers`: what names the sound devices VARA is given;
    // `notifications`: where a crash of an always-on service is told; `prefixHold`: which
    // installer runs Wine in the prefix, whose wine server is then left alone.
    ServiceOrchestrator(ConfigStore &config, KeepaliveRequestAdvertiser &keepalive, RigControlServerDiscovery &discovery,
                        const AudioDeviceManager &audio, Clock &clock, CommandRunner &runner,
                        const WineDrivers &wineDrivers, Notifications &notifications, const WinePrefixHold &prefixHold,
                        StartPathStandIns standIns = {}, QObject *parent = nullptr);
    ~ServiceOrchestrator() override;

    ManagedProcess &varaProcess() const { return *m_varaProcess; }
    ManagedProcess &varaFMProcess() const { return *m_varaFMProcess; }
    ManagedProcess &rigctldProcess() const { return *m_rigctldProcess; }
    ManagedProcess &direwolfProcess() const { return *m_direwolfProcess; }
    ManagedProcess &process(ServiceID id) const;

    // The service's record as the API reports it: the ports are those its child was launched
    // with while that child is there, else the stored ones, which its next start takes.
    ServiceStatus status(ServiceID id) const;
    ServiceLifecycleMode lifecycleMode(ServiceID id) const;

    // Starts a service through its start path, whatever its lifecycle mode. It first cancels the
    // service's pending idle stop and stamps its activity. A call that comes while a start of the
    // orchestrator's is under way joins it: it returns when that start ends and throws what it
    // threw. Otherwise a service that is not stopped or in error is left as it is and the call
    // returns at once.
    // A start after a stop first waits until the start that stop cut short has ended, and until
    // its child is gone. A start of one VARA variant first stops the other, which shares its
    // Wine prefix and port. The start path's errors reach the caller. The start ends without
    // launching once `cancel` is requested or the service is stopped meanwhile.
    QCoro::Task<void> startService(ServiceID id, std::stop_token cancel = {});
    // Keeps what a start asked for in a window threw as the service's start error, which its
    // next start or stop clears, and logs it, in the service's log as well.
    void showStartError(ServiceID id, const QString &error);
    // What must happen while the service still runs, before stopService: rigctld lets the radio
    // be switched off again if the helper switched it on.
    QCoro::Task<void> prepareToStopService(ServiceID id);
    // Stops a service now: cancels its pending idle stop, its restarts and any start the
    // orchestrator has under way for it, stops its child and clears up after it. Returns before
    // the child is gone.
    void stopService(ServiceID id);
    // At launch: starts VARA HF, VARA FM and rigctld when they are always-on (Direwolf never).
    // The starts run after the caller has returned; a failed one enters the restart chain.
    void startAlwaysOnServices();
    // At quit: ends the idle monitor, stops every service in order and waits, at most
    // stopAllTimeLimit, until no child is left stopping. A VARA variant that was already stopped
    // leaves the Wine server alone, so that quitting with nothing running is immediate.
    QCoro::Task<void> stopAllServices();

    IdleShutdownController &idleShutdown();
    void recordActivity(ServiceID id);
    void stopServiceIdle(ServiceID id);
    void startIdleMonitor();

    // Start-up clean-up: stray rigctld daemons and the Wine server of the helper's prefix. The
    // rigctld sweep is left out when a start of rigctld came first, which sweeps for itself.
    QCoro::Task<void> cleanupOrphanedProcesses();

    // Whether tools::findRigctld() finds one.
    bool isRigctldInstalled() const;

    RadioPowerController &radioPower() const { return *m_radioPower; }
    std::optional<bool> radioPowerSupported() const;

    // The settings rigctld and Direwolf were last launched with, to tell whether the stored ones
    // have changed since.
    const std::optional<RigctldConfig> &rigctldLaunchedConfig() const { return m_rigctldStart->launchedConfig(); }
    const std::optional<DirewolfConfig> &direwolfLaunchedConfig() const { return m_direwolfStart->launchedConfig(); }

    // The settings the child of rigctld or Direwolf runs with while it is there (starting,
    // running or stopping), else the stored ones.
    RigctldConfig rigctldConfigInEffect() const;
    DirewolfConfig direwolfConfigInEffect() const;

    // The ports of the helper's own that no rig-control server may be taken at, for a start of
    // Direwolf with `toStart`: also those of the Direwolf that runs now.
    QList<quint16> rigControlHelperPorts(const DirewolfConfig &toStart) const;

    // The network access the service's child was launched with, while that child is there
    // (starting, running or stopping); none otherwise.
    std::optional<bool> networkAccessInEffect(ServiceID id) const;
    // Whether the child of a service was launched under the other network-access setting than
    // the stored one and is still there: a restart would apply the stored one.
    bool networkAccessAwaitsRestart() const;

    // Whether a restart of the service is waiting for its back-off or running.
    bool isRestartPending(ServiceID id) const;

    // Direwolf with the client's rig control: how long a start waits for its first server.
    static constexpr std::chrono::milliseconds kRigControlServerWait = DirewolfStartPath::kRigControlServerWait;
    // After a restart caused by a rig-control server change, further changes are ignored this long.
    static constexpr std::chrono::milliseconds kEndpointChangeGuardTime{3000};

    // Whether the variant's modem program stands in the helper's Wine prefix.
    static bool isVARAInstalled(VARAVariant variant);
    // `preferred` unless it is empty, else `fallback`.
    static QString resolveWinePath(const QString &preferred, const QString &fallback)
    {
        return VARALaunchPlan::resolveWinePath(preferred, fallback);
    }
    // rigctld's command line for a configuration and a listen address.
    static QStringList rigctldArguments(const RigctldConfig &config, const QString &bindAddress)
    {
        return RigctldStartPath::arguments(config, bindAddress);
    }

private:
    // stopService; `quitting` spares the Wine server when the variant was already stopped.
    void stopService(ServiceID id, bool quitting);
    // Whether the service's state lets a start begin: stopped or in error. Every caller first
    // joins a start under way (startUnderWay), with no suspension between that look and this one.
    bool mayStart(ServiceID id) const;
    // Starts the service in its turn (see m_startTurns); `reapPorts` frees its ports first.
    QCoro::Task<void> startInTurn(ServiceID id, std::stop_token cancel, bool reapPorts);
    // Direwolf's start of rigctld for its PTT: without the idle stamp and the port reaping of
    // startService, and joining a start of rigctld that is already under way.
    QCoro::Task<void> startRigctldForDirewolf();
    // Makes the caller the service's latest turn and gives the one before it, to be awaited.
    async::Event takeTurn(ServiceID id);
    // Runs the service's start path, or the test's stand-in for it; `networkAccess` is the
    // setting its addresses were held for.
    QCoro::Task<void> dispatchStart(ServiceID id, std::stop_token cancel, bool networkAccess);
    void installEndpointChangeObserver();
    QCoro::Task<void> reactToEndpointChange();
    // Later, like a new task, so that whoever reported the change finishes its own update first;
    // dropped with the orchestrator.
    void reactToEndpointChangeLater();
    static QCoro::Task<void> clearEndpointChangeGuard(QPointer<ServiceOrchestrator> self);
    // Looks at the rig-control servers again once `after` has passed.
    static QCoro::Task<void> reactToEndpointChangeAfter(QPointer<ServiceOrchestrator> self, std::chrono::milliseconds after);
    // Notes a change of the servers that is looked at later (see m_endpointChangeHeldOff).
    void holdOffEndpointChange();

    // A port a client of the service uses, as the service's errors name it.
    struct ClientPort {
        QString name;
        int port;
        // Whether the settings let the user pick another.
        bool configurable;
        // The error of a start that finds it held by `holder`'s program.
        HelperError inUse(const PortHolder &holder) const
        {
            return HelperError::portInUse(name, port, configurable, holder);
        }
    };
    // The ports the service's clients connect to, by the stored settings.
    std::vector<ClientPort> clientPorts(ServiceID id) const;
    // The error of a start whose ports a program of another user holds; none when they are free
    // of such.
    std::optional<HelperError> portTakenByAnotherUser(ServiceID id) const;
    // Takes, into `holds`, the address of the other family that the service's child leaves open
    // on each of its ports; the error of a start when one of them is another program's already.
    std::optional<HelperError> holdOtherFamily(ServiceID id, std::vector<PortHold> &holds) const;
    // Frees the service's ports from stray copies of its program before its start; gives the
    // reason when another program holds one of them.
    QCoro::Task<std::optional<QString>> reapStaleProcessesHoldingPorts(ServiceID id, std::stop_token cancel);
    // Stops the other VARA variant when it runs or starts, and waits a while for it to be gone.
    QCoro::Task<void> stopOtherVARAVariant(ServiceID id, std::stop_token cancel);
    // Waits until the process has left `stopping`, or `limit` has passed.
    static QCoro::Task<void> waitWhileStopping(Clock &clock, QPointer<ManagedProcess> process, std::chrono::milliseconds limit,
                                               std::stop_token cancel = {});
    static QCoro::Task<void> startAlwaysOn(QPointer<ServiceOrchestrator> self, ServiceID id);

    // Crash handling and restarts (service_orchestrator_restart.cpp).
    void wireUnexpectedExitHandlers();
    void handleUnexpectedExit(ServiceID id, const LaunchOutcome &end);
    void notifyServiceCrash(ServiceID id, const LaunchOutcome &end);
    void scheduleRestart(ServiceID id, int attempt);
    static QCoro::Task<void> runRestart(QPointer<ServiceOrchestrator> self, ServiceID id, int attempt,
                                        std::stop_token cancel);
    // Starts the service and says why it is not running afterwards: what the start threw, or
    // what a start that returned left it in. Nothing when it runs; nothing to go by when the
    // orchestrator is gone or `cancel` was requested meanwhile, which the caller checks first.
    // What the start threw also stands in the service's error line: nobody else is told of it.
    static QCoro::Task<std::optional<QString>> startFailure(QPointer<ServiceOrchestrator> self, ServiceID id,
                                                            std::stop_token cancel);

    // Ended by every stop of the service: the orchestrator's own starts and restarts of it.
    std::stop_token pendingWork(ServiceID id);
    void cancelPendingWork(ServiceID id);

    ConfigStore &m_config;
    KeepaliveRequestAdvertiser &m_keepalive;
    RigControlServerDiscovery &m_discovery;
    Clock &m_clock;
    Notifications &m_notifications;
    const WinePrefixHold &m_prefixHold;
    OrphanReaper m_orphanReaper;
    PortReaper m_portReaper;
    ManagedProcess *m_varaProcess;
    ManagedProcess *m_varaFMProcess;
    ManagedProcess *m_rigctldProcess;
    ManagedProcess *m_direwolfProcess;
    std::map<ServiceID, std::stop_source> m_pendingWork;
    // A start of the orchestrator's own, as the requests that join it see it.
    struct StartUnderWay {
        // Set once the start has ended, however it ended.
        async::Event ended;
        // What the start threw.
        std::exception_ptr failure;
    };
    // The start under way per service; a stop forgets it, so that a start after the stop is not
    // joined to the one it cancels (it still waits for its turn).
    std::map<ServiceID, std::shared_ptr<StartUnderWay>> m_startsInFlight;
    // The service's start under way, for a start that comes meanwhile to join; none when none is.
    std::shared_ptr<const StartUnderWay> startUnderWay(ServiceID id) const;
    // Per service, set once the latest start (or, for rigctld, the start-up sweep) has ended. Each
    // start waits for the one before before it clears anything away, so that no kill of an
    // earlier start, however late, lands on a child that a later one launched.
    std::map<ServiceID, async::Event> m_startTurns;
    // Restart tasks alive per service, waiting or starting.
    std::map<ServiceID, int> m_restartTasks;
    std::unique_ptr<IdleShutdownController> m_idleShutdown;
    RadioPowerController *m_radioPower;
    // Gone before the processes they start, which are children of the orchestrator; Direwolf's
    // before the rigctld one it starts for its PTT.
    std::unique_ptr<VARAStartPath> m_varaHFStart;
    std::unique_ptr<VARAStartPath> m_varaFMStart;
    std::unique_ptr<RigctldStartPath> m_rigctldStart;
    std::unique_ptr<DirewolfStartPath> m_direwolfStart;
    StartPathStandIns m_standIns;
    // What the helper holds for a service, from before its launch until its child is gone.
    struct HeldAddresses {
        // The setting the child was launched with.
        bool networkAccess = false;
        // The ports the holds are on.
        std::vector<ClientPort> ports;
        std::vector<PortHold> holds;
        // IPv6's every address taken beside the loopback one since the launch.
        bool widened = false;
    };
    // Takes IPv6's every address beside the loopback one on the ports of each service launched
    // without network access, once it is allowed (service_orchestrator_network_access.cpp).
    void followNetworkAccess();
    // The other family's addresses held per service (stopped, ended or failed lets go of them).
    std::map<ServiceID, HeldAddresses> m_portHolds;
    // Set while Direwolf restarts for a rig-control server change, and a while after.
    bool m_isReactingToEndpointChange = false;
    // Set when the servers changed while Direwolf was starting or the guard above was set, for the
    // choice to be made again once it runs and the guard is cleared.
    bool m_endpointChangeHeldOff = false;
};

} // namespace cordavelle
