#pragma once

#include "base/service_config.h"
#include "radio/rig_control_server_choice.h"

#include <QCoroTask>
#include <QObject>

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>

namespace cordavelle {

class AudioDeviceManager;
class Clock;
class ConfigStore;
class KeepaliveRequestAdvertiser;
class ManagedProcess;
class RigControlServerDiscovery;

// Starts Direwolf through its process: settles what its PTT depends on (rigctld, or the client's
// rig control), writes direwolf.conf and launches it. Main thread only.
class DirewolfStartPath final : public QObject {
    Q_OBJECT
public:
    // With the client's rig control: how long a start waits for its first server.
    static constexpr std::chrono::milliseconds kRigControlServerWait{3000};
    // How long the server Direwolf was keyed through may be away (its client restarting it)
    // before another one for the radio, which appeared meanwhile, may take its place.
    static constexpr std::chrono::milliseconds kServerAwayGrace{5000};

    // `rigctld` is rigctld's process; `startRigctld` starts it when the PTT goes through it, or
    // joins a start of it under way and takes that start's outcome: a start that only a stop of
    // rigctld itself ends; `rigctldPort` is where rigctld listens (a running one's port, which a
    // port stored since does not change). `audio` and `discovery` are what direwolf.conf is
    // written from; `keepalive` asks the client to keep the radio's rig control open.
    DirewolfStartPath(ConfigStore &config, Clock &clock, ManagedProcess &process, ManagedProcess &rigctld,
                      std::function<QCoro::Task<void>()> startRigctld, std::function<int()> rigctldPort,
                      KeepaliveRequestAdvertiser &keepalive, RigControlServerDiscovery &discovery,
                      const AudioDeviceManager &audio);

    // Throws, before the launch, when the settings have no callsign, no Direwolf is found, the one
    // found cannot run here or direwolf.conf cannot be written; and whatever the launch throws.
    // A PTT dependency that fails only warns. Ends without launching, or without marking the
    // process running, once `cancel` is requested.
    QCoro::Task<void> start(std::stop_token cancel);
    // The settings of the last launch: what the running Direwolf's configuration file holds.
    const std::optional<DirewolfConfig> &launchedConfig() const { return m_launched; }
    // The client's rig-control server that the last launch keys through, until it is forgotten
    // (once the servers listed no longer choose it, while that Direwolf runs on).
    const std::optional<RigControlServerEndpoint> &rigControlInUse() const { return m_rigControlInUse; }
    void forgetRigControlInUse() { m_rigControlInUse.reset(); }
    // The ports the helper itself listens on or gives its services while Direwolf runs with
    // `config`: none of them is a rig-control server, whatever an advert says.
    QList<quint16> helperPorts(const DirewolfConfig &config) const;

    // The server for `config`'s radio among those listed, as this session of Direwolf stands: an
    // advert that stood beside the server it was keyed through (or beside another for the radio
    // while none was) is a rival for the rest of the session, never taken. A session begins with
    // every start but the one that follows a change of the servers (continueSessionAtNextStart).
    // A server other than the one the session was keyed through is not taken while that one has
    // been away for less than kServerAwayGrace: one that appears at the gap may be waiting for it.
    RigControlServerChoice chooseRigControl(const DirewolfConfig &config, const QList<quint16> &helperPorts);
    void continueSessionAtNextStart(bool continues) { m_continueSession = continues; }
    // After a chooseRigControl that passed a server over for the grace, how long until it ends.
    const std::optional<std::chrono::milliseconds> &graceLeft() const { return m_graceLeft; }

private:
    // The start, but for withdrawing the keep-alive request when it fails.
    QCoro::Task<void> launch(std::stop_token cancel);
    // Settles Direwolf's PTT dependency on rigctld or on the client's rig control; with the
    // latter, the choice of rig-control server made.
    QCoro::Task<std::optional<RigControlServerChoice>> preparePttDependency(const DirewolfConfig &config,
                                                                            std::stop_token cancel);
    QCoro::Task<void> startRigctldDependency(std::stop_token cancel);
    // The client's rig-control server for the configured radio (chooseRigControl), waited for
    // when this machine lists none for it.
    QCoro::Task<RigControlServerChoice> settleRigControlServer(const DirewolfConfig &config);
    // Warns in both logs of each server `choice` passed over, and when it chose none, that the
    // session falls back to VOX.
    void reportPassedOver(const RigControlServerChoice &choice);

    ConfigStore &m_config;
    Clock &m_clock;
    ManagedProcess &m_process;
    ManagedProcess &m_rigctld;
    std::function<QCoro::Task<void>()> m_startRigctld;
    std::function<int()> m_rigctldPort;
    KeepaliveRequestAdvertiser &m_keepalive;
    RigControlServerDiscovery &m_discovery;
    const AudioDeviceManager &m_audio;
    std::optional<DirewolfConfig> m_launched;
    std::optional<RigControlServerEndpoint> m_rigControlInUse;
    // This session's server, kept when its advert goes for a while, and its rivals.
    std::optional<RigControlServerEndpoint> m_sessionServer;
    std::optional<std::chrono::steady_clock::time_point> m_sessionServerAwaySince;
    std::optional<std::chrono::milliseconds> m_graceLeft;
    QList<RigControlServerEndpoint> m_rivals;
    bool m_continueSession = false;
};

} // namespace cordavelle
