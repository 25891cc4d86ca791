#include "direwolf_start_path.h"

#include "base/binary_architecture_detector.h"
#include "base/helper_places.h"
#include "base/helper_error.h"
#include "base/helper_logger.h"
#include "base/service_model.h"
#include "base/spaces_and_tabs.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "core/launch_verdict.h"
#include "core/managed_process.h"
#include "core/port_probe.h"
#include "platform/clock.h"
#include "platform/port_listeners.h"
#include "radio/audio_device_manager.h"
#include "radio/direwolf_config_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include <QFileInfo>
#include <QPointer>

#include <algorithm>
#include <exception>

namespace cordavelle {

using namespace std::chrono_literals;

namespace {

// How long a start waits for a rigctld that is stopping.
constexpr auto kRigctldSettleLimit = 30000ms;
// How long after the launch Direwolf's ports are awaited, as the process awaits the KISS port.
constexpr auto kPortWait = ManagedProcess::kPortWaitTimeout;

} // namespace

DirewolfStartPath::DirewolfStartPath(ConfigStore &config, Clock &clock, ManagedProcess &process, ManagedProcess &rigctld,
                                     std::function<QCoro::Task<void>()> startRigctld, std::function<int()> rigctldPort,
                                     KeepaliveRequestAdvertiser &keepalive, RigControlServerDiscovery &discovery,
                                     const AudioDeviceManager &audio)
    : m_config(config),
      m_clock(clock),
      m_process(process),
      m_rigctld(rigctld),
      m_startRigctld(std::move(startRigctld)),
      m_rigctldPort(std::move(rigctldPort)),
      m_keepalive(keepalive),
      m_discovery(discovery),
      m_audio(audio)
{
    // The request is published after the start has gone on: its failure comes later, and Direwolf's
    // log must not leave the user believing the client holds the radio open.
    connect(&keepalive, &KeepaliveRequestAdvertiser::advertisingFailed, this,
            [this](const QString &radio, const QString &reason) {
                const QString line = QStringLiteral("[Direwolf] WARNING: the keep-alive request for radio '") +
                                     DirewolfConfigManager::withoutControlCharacters(radio) +
                                     QStringLiteral("' could not be published (") + reason +
                                     QString::fromUtf8(") \u2014 it is not standing; Cordavelle is not asked to hold the "
                                                       "radio's rig control open.");
                servicesLog::warning(line);
                m_process.appendSyntheticLog(line);
            });
}

QCoro::Task<void> DirewolfStartPath::start(std::stop_token cancel)
{
    if (!std::exchange(m_continueSession, false)) {
        m_sessionServer.reset();
        m_sessionServerAwaySince.reset();
        m_rivals.clear();
    }
    QPointer<DirewolfStartPath> self(this);
    std::exception_ptr failure;
    try {
        co_await launch(cancel);
    } catch (...) {
        failure = std::current_exception();
    }
    // A request this start published must not outlive it: a stop withdraws it, and so does a
    // start that ends without Direwolf running.
    if (self && m_process.state() != ServiceRunState::running && m_keepalive.advertisedRadioName()) {
        servicesLog::info(QString::fromUtf8("[Direwolf] start did not succeed \u2014 withdrawing the keep-alive request"));
        m_keepalive.stopAdvertising();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

QCoro::Task<void> DirewolfStartPath::launch(std::stop_token cancel)
{
    const DirewolfConfig config = m_config.direwolfConfig();
    if (trimmedSpacesAndTabs(config.callsign).isEmpty()) {
        throw HelperError::direwolfNoCallsign();
    }
    const tools::DirewolfLookup lookup = tools::lookUpDirewolf(config.direwolfPath);
    if (!lookup.choice) {
        throw HelperError::direwolfNotFound(lookup.passedOver);
    }
    const QString chosen = lookup.choice->path;
    // Before the rigctld it may start, and again right before the launch.
    checkProgramForLaunch(QStringLiteral("Direwolf"), chosen, ProgramUse::run, {}, places::direwolfRunFolder());

    QPointer<DirewolfStartPath> self(this);
    const std::optional<RigControlServerChoice> rigControl = co_await preparePttDependency(config, cancel);
    if (!self || cancel.stop_requested()) {
        co_return;
    }

    if (BinaryArchitectureDetector::cannotLaunchOnHost(chosen)) {
        throw HelperError::binaryIntelOnAppleSilicon(QStringLiteral("direwolf"), chosen);
    }

    DirewolfConfigManager::Environment environment;
    environment.rigctldPort = m_rigctldPort();
    environment.audio = &m_audio;
    // The server chosen and looked at above, not whatever discovery lists by now.
    environment.rigControl = rigControl;
    QString confPath;
    try {
        confPath = DirewolfConfigManager::writeConfig(config, environment);
    } catch (const std::exception &error) {
        throw HelperError::direwolfConfigWriteFailed(QString::fromUtf8(error.what()));
    }

    const QString binary =
        checkProgramForLaunch(QStringLiteral("Direwolf"), chosen, ProgramUse::run, {}, places::direwolfRunFolder()).toLaunch();
    // Direwolf cuts a configuration path longer than 99 bytes short and then finds no file, and
    // a home a little deep puts the support folder past that: it runs in the file's folder and
    // is given the name alone. A bare name would send it to a file of that name in the home
    // folder whenever this one is missing.
    const QFileInfo conf(confPath);
    const QStringList arguments{QStringLiteral("-c"), QStringLiteral("./") + conf.fileName(),
                                QStringLiteral("-t"), QStringLiteral("0"),
                                QStringLiteral("-T"), QStringLiteral("%H:%M:%S")};
    const QString line = QStringLiteral("[Direwolf] Starting: ") + binary + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
    servicesLog::info(line);
    m_process.appendSyntheticLog(line);

    QPointer<ManagedProcess> process(&m_process);
    m_launched = config;
    m_rigControlInUse = rigControl ? rigControl->chosen : std::nullopt;
    if (m_rigControlInUse) {
        m_sessionServer = m_rigControlInUse;
        m_sessionServerAwaySince.reset();
    }
    Clock &clock = m_clock;
    const auto launchedAt = clock.now();
    co_await process->start(binary, arguments, std::nullopt, config.kissPort, cancel, places::direwolfRunFolder());
    const ClientPort kiss{QStringLiteral("Direwolf"), QStringLiteral("KISS port"), config.kissPort};
    const ClientPort agw{QStringLiteral("Direwolf"), QStringLiteral("AGW port"), config.agwPort};
    if (!self || !launchSurvived(*process, QStringLiteral("Direwolf"), cancel, {kiss, agw})) {
        co_return;
    }
    // Direwolf stays up when it cannot bind a port, so its being alive says nothing: a client told
    // it runs would reach whoever holds the port. It opens its KISS and AGW ports from two
    // threads, in either order, and a client may connect to either at once; the AGW port gets
    // what is left of the launch's port wait.
    const ProcessTree owner{process->pid().value_or(0), {}};
    std::optional<QString> missing = missingListener({kiss}, owner, kPortWait);
    const auto left = kPortWait - std::chrono::duration_cast<std::chrono::milliseconds>(clock.now() - launchedAt);
    if (!missing && config.agwPort > 0 && left > 0ms) {
        co_await waitForPort(config.agwPort, owner, clock, left, cancel);
        if (!self || !launchSurvived(*process, QStringLiteral("Direwolf"), cancel, {kiss, agw})) {
            co_return;
        }
    }
    if (!missing) {
        missing = missingListener({agw}, owner, kPortWait);
    }
    if (missing) {
        co_await failLaunch(*process, *missing, cancel);
        co_return;
    }
    process->markRunning();
    servicesLog::info(QStringLiteral("[Direwolf] Running on KISS port %1, AGW port %2").arg(config.kissPort).arg(config.agwPort));
}

QList<quint16> DirewolfStartPath::helperPorts(const DirewolfConfig &config) const
{
    QList<quint16> ports;
    const auto add = [&ports](qint64 port) {
        if (port > 0 && port <= 65535 && !ports.contains(quint16(port))) {
            ports << quint16(port);
        }
    };
    // An API port that can't be served is served at the default instead.
    const int api = m_config.apiPort();
    add(api > 0 && api <= 65535 ? api : ConfigStore::kDefaultApiPort);
    if (const std::optional<quint16> keepalive = m_keepalive.listeningPort()) {
        add(*keepalive);
    }
    add(config.kissPort);
    add(config.agwPort);
    add(m_rigctldPort());
    // VARA listens there as the user, whether or not it runs now.
    for (const VARAVariant variant : {VARAVariant::hf, VARAVariant::fm}) {
        add(commandPort(variant));
        add(dataPort(variant));
    }
    return ports;
}

RigControlServerChoice DirewolfStartPath::chooseRigControl(const DirewolfConfig &config, const QList<quint16> &helperPorts)
{
    const QString radio = config.nativeRigControlRadioName;
    const QList<RigControlServerEndpoint> &listed = m_discovery.endpoints();
    RigControlServerSurroundings surroundings = thisMachinesSurroundings(helperPorts, m_rivals);
    noteRigControlRivals(listed, radio, m_sessionServer, surroundings);
    m_rivals = surroundings.rivals;
    RigControlServerChoice choice = chooseRigControlServer(listed, radio, surroundings);
    m_graceLeft.reset();
    if (!m_sessionServer) {
        return choice;
    }
    const bool present = std::any_of(listed.begin(), listed.end(), [this](const RigControlServerEndpoint &server) {
        return server.fromThisMachine && server == *m_sessionServer;
    });
    if (present) {
        m_sessionServerAwaySince.reset();
        return choice;
    }
    const auto now = m_clock.now();
    if (!m_sessionServerAwaySince) {
        m_sessionServerAwaySince = now;
    }
    const auto away = std::chrono::duration_cast<std::chrono::milliseconds>(now - *m_sessionServerAwaySince);
    if (choice.chosen && *choice.chosen != *m_sessionServer && away < kServerAwayGrace) {
        choice.passedOver.push_back({*choice.chosen, QStringLiteral("appeared while the server Direwolf was keyed through is "
                                                                    "away; it is taken only if that one stays away %1 s")
                                                         .arg(kServerAwayGrace.count() / 1000)});
        choice.chosen.reset();
        m_graceLeft = kServerAwayGrace - away;
    }
    return choice;
}

QCoro::Task<std::optional<RigControlServerChoice>> DirewolfStartPath::preparePttDependency(const DirewolfConfig &config,
                                                                                           std::stop_token cancel)
{
    const DirewolfPTTMethod method = config.pttMethod.value_or(DirewolfPTTMethod::vox());
    if (method.kind() == DirewolfPTTMethod::Kind::rigctld) {
        co_await startRigctldDependency(cancel);
    } else if (method.kind() == DirewolfPTTMethod::Kind::nativeCorvexa) {
        RigControlServerChoice choice = co_await settleRigControlServer(config);
        co_return choice;
    }
    co_return std::nullopt;
}

QCoro::Task<void> DirewolfStartPath::startRigctldDependency(std::stop_token cancel)
{
    QPointer<DirewolfStartPath> self(this);
    ManagedProcess &rigctld = m_rigctld;
    // A start of rigctld under way is joined below, whatever it is doing; a stop is waited out,
    // as a start that comes meanwhile would find rigctld neither stopped nor running. Waiting a
    // start out instead would find a child that died during it in error, and launch it again.
    if (rigctld.state() == ServiceRunState::stopping) {
        Clock &clock = m_clock;
        const auto deadline = clock.now() + kRigctldSettleLimit;
        while (self && rigctld.state() == ServiceRunState::stopping && clock.now() < deadline) {
            const bool slept = co_await clock.sleep(100ms, cancel);
            if (!slept) {
                co_return;
            }
        }
        if (!self) {
            co_return;
        }
    }
    if (rigctld.state() == ServiceRunState::running) {
        co_return;
    }
    servicesLog::info(QString::fromUtf8("[Direwolf] PTT method is rigctld \u2014 auto-starting rigctld dependency"));
    std::optional<QString> failure;
    try {
        // rigctld is a service of its own: only its own stop may end its start. Ended by a stop
        // of Direwolf, it would be left starting for good, with its child running.
        co_await m_startRigctld();
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self || cancel.stop_requested()) {
        co_return;
    }
    if (!failure && rigctld.state() != ServiceRunState::running) {
        failure = rigctld.lastError().value_or(QStringLiteral("rigctld is %1 after its start").arg(toRaw(rigctld.state())));
    }
    if (failure) {
        servicesLog::warning(QString::fromUtf8("[Direwolf] rigctld auto-start failed \u2014 PTT will not key: ") + *failure);
        m_process.appendSyntheticLog(
            QString::fromUtf8("[Direwolf] WARNING: PTT via rigctld requested but rigctld failed to start (") + *failure +
            QString::fromUtf8(") \u2014 session will TX audio but PTT will not key.  Fix rigctld config and restart "
                              "Direwolf, or switch PTT method to VOX / serial in the Direwolf detail view."));
    }
}

QCoro::Task<RigControlServerChoice> DirewolfStartPath::settleRigControlServer(const DirewolfConfig &config)
{
    const QString radio = trimmedSpacesAndTabs(config.nativeRigControlRadioName);
    const auto advertiseKeepalive = [this, &radio] {
        if (!radio.isEmpty()) {
            servicesLog::info(QStringLiteral("[Direwolf] publishing keep-alive request for radio '") + radio +
                              QString::fromUtf8("' \u2014 Cordavelle will open CAT"));
            m_keepalive.startAdvertising(radio);
        }
    };
    // A radio this machine announces no server for yet is asked for: the client may open its
    // server on the request. Another host's advert says nothing of this machine's servers.
    const auto advertised = [this, &radio] {
        const auto &listed = m_discovery.endpoints();
        return std::any_of(listed.begin(), listed.end(), [&radio](const RigControlServerEndpoint &server) {
            return server.fromThisMachine && (radio.isEmpty() || servesRadio(server, radio));
        });
    };
    // Servers already listed are looked at before the request goes out: passed-over ones get none.
    if (advertised()) {
        RigControlServerChoice choice = chooseRigControl(config, helperPorts(config));
        reportPassedOver(choice);
        if (choice.chosen) {
            advertiseKeepalive();
        }
        co_return choice;
    }
    advertiseKeepalive();
    servicesLog::info(QStringLiteral("[Direwolf] PTT method is 'CAT via Cordavelle' \u2014 waiting up to 3s for Bonjour "
                                     "discovery"));
    QPointer<DirewolfStartPath> self(this);
    const auto endpoint = co_await m_discovery.waitForEndpoint(radio, kRigControlServerWait);
    if (!self) {
        co_return RigControlServerChoice{};
    }
    if (endpoint) {
        servicesLog::info(QStringLiteral("[Direwolf] discovered Cordavelle RigControlServer at 127.0.0.1:") +
                          QString::number(endpoint->port) + QString::fromUtf8(" \u2014 ") + endpoint->radioName);
        RigControlServerChoice choice = chooseRigControl(config, helperPorts(config));
        reportPassedOver(choice);
        // The request was for this start's server; passed-over ones must not be kept open by it.
        if (!choice.chosen && !radio.isEmpty() && advertised()) {
            m_keepalive.stopAdvertising();
        }
        co_return choice;
    }
    // What is listed (another radio's server, another host's) is said before the fall-back.
    if (!m_discovery.endpoints().isEmpty()) {
        RigControlServerChoice choice = chooseRigControl(config, helperPorts(config));
        reportPassedOver(choice);
        if (choice.chosen) {
            co_return choice;
        }
    }
    servicesLog::warning(QString::fromUtf8("[Direwolf] no Cordavelle RigControlServer advertisement after 3s \u2014 "
                                           "direwolf.conf will render without PTT (falls back to VOX)"));
    const QString detail = radio.isEmpty() ? QStringLiteral("with a Native-source radio configured")
                                           : QStringLiteral("with '") + radio +
                                                 QStringLiteral("' configured as a Native-source radio");
    m_process.appendSyntheticLog(
        QStringLiteral("[Direwolf] WARNING: PTT via 'CAT via Cordavelle' requested but no RigControlServer "
                       "advertisement discovered.  Make sure Cordavelle is running ") +
        detail + QString::fromUtf8(" (Settings \u2192 Radios).  Falling back to VOX for this session."));
    co_return RigControlServerChoice{};
}

void DirewolfStartPath::reportPassedOver(const RigControlServerChoice &choice)
{
    for (std::size_t i = 0; i < choice.passedOver.size(); ++i) {
        const PassedOverRigControlServer &passed = choice.passedOver[i];
        const bool last = i + 1 == choice.passedOver.size();
        const QString line = QStringLiteral("[Direwolf] WARNING: the rig-control server advertised for radio ") +
                             shownRigControlServer(passed.server) + QLatin1Char(' ') + passed.reason +
                             (last && !choice.chosen
                                  ? QString::fromUtf8(" \u2014 passed over; falling back to VOX for this session.")
                                  : QString::fromUtf8(" \u2014 passed over."));
        servicesLog::warning(line);
        m_process.appendSyntheticLog(line);
    }
    // Always: a log that names no server leaves the user guessing which transmitter is keyed.
    if (choice.chosen) {
        const QString line = QStringLiteral("[Direwolf] keying through the rig-control server advertised for radio ") +
                             shownRigControlServer(*choice.chosen) + QLatin1Char('.');
        servicesLog::info(line);
        m_process.appendSyntheticLog(line);
    }
}

} // namespace cordavelle
