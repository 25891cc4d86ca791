// The Direwolf start path, and the restart of a running Direwolf whose PTT goes through the
// client's rig control when the client's rig-control servers change.

#include "service_orchestrator.h"

#include "base/binary_architecture_detector.h"
#include "base/helper_error.h"
#include "base/helper_logger.h"
#include "base/spaces_and_tabs.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "platform/clock.h"
#include "radio/audio_device_manager.h"
#include "radio/direwolf_config_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include <QCoreApplication>

namespace cordavelle {

using namespace std::chrono_literals;

namespace {

constexpr auto kServices = HelperLogger::Category::services;

void logInfo(const QString &message) { HelperLogger::info(message, kServices); }

// How long a start waits for a rigctld that someone else is starting or stopping, and how long
// a restart waits for the old Direwolf to be gone (its stop escalates to SIGKILL after 2 s).
constexpr auto kRigctldSettleLimit = 30000ms;
constexpr auto kOldDirewolfStopLimit = 2500ms;

bool isBusy(ServiceRunState state) { return state == ServiceRunState::starting || state == ServiceRunState::stopping; }

} // namespace

QCoro::Task<void> ServiceOrchestrator::startDirewolf(std::stop_token cancel)
{
    const DirewolfConfig config = m_config.direwolfConfig();
    if (trimmedSpacesAndTabs(config.callsign).isEmpty()) {
        throw HelperError::direwolfNoCallsign();
    }
    const auto choice = tools::resolveDirewolf(config.direwolfPath);
    if (!choice) {
        throw HelperError::direwolfNotFound();
    }
    const QString binary = choice->path;

    QPointer<ServiceOrchestrator> self(this);
    co_await preparePttDependency(config, cancel);
    if (!self || cancel.stop_requested()) {
        co_return;
    }

    if (BinaryArchitectureDetector::cannotLaunchOnHost(binary)) {
        throw HelperError::binaryIntelOnAppleSilicon(QStringLiteral("direwolf"), binary);
    }

    DirewolfConfigManager::Environment environment;
    environment.rigctldPort = m_config.rigctldConfig().tcpPort;
    environment.audio = &m_audio;
    environment.discovery = &m_discovery;
    QString confPath;
    try {
        confPath = DirewolfConfigManager::writeConfig(config, environment);
    } catch (const std::exception &error) {
        throw HelperError::direwolfConfigWriteFailed(QString::fromUtf8(error.what()));
    }

    const QStringList arguments{QStringLiteral("-c"), confPath,           QStringLiteral("-t"),
                                QStringLiteral("0"),  QStringLiteral("-T"), QStringLiteral("%H:%M:%S")};
    const QString line = QStringLiteral("[Direwolf] Starting: ") + binary + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
    logInfo(line);
    direwolfProcess().appendSyntheticLog(line);

    QPointer<ManagedProcess> process(&direwolfProcess());
    co_await process->start(binary, arguments, std::nullopt, config.kissPort, cancel);
    if (!self || !launchSurvived(*process, QStringLiteral("Direwolf"), cancel)) {
        co_return;
    }
    process->markRunning();
    logInfo(QStringLiteral("[Direwolf] Running on KISS port %1, AGW port %2").arg(config.kissPort).arg(config.agwPort));
}

QCoro::Task<void> ServiceOrchestrator::preparePttDependency(const DirewolfConfig &config, std::stop_token cancel)
{
    const DirewolfPTTMethod method = config.pttMethod.value_or(DirewolfPTTMethod::vox());
    QPointer<ServiceOrchestrator> self(this);

    if (method.kind() == DirewolfPTTMethod::Kind::rigctld) {
        // A rigctld that another request is starting would be killed by a second start's sweep
        // of stray rigctld processes; wait for that start to settle instead.
        if (isBusy(rigctldProcess().state())) {
            Clock &clock = m_clock;
            const auto deadline = clock.now() + kRigctldSettleLimit;
            while (self && isBusy(rigctldProcess().state()) && clock.now() < deadline) {
                if (!co_await clock.sleep(100ms, cancel)) {
                    co_return;
                }
            }
            if (!self) {
                co_return;
            }
        }
        if (rigctldProcess().state() == ServiceRunState::running) {
            co_return;
        }
        logInfo(QString::fromUtf8("[Direwolf] PTT method is rigctld \u2014 auto-starting rigctld dependency"));
        std::optional<QString> failure;
        try {
            // rigctld is a service of its own: only its own stop may end its start. Ended by a
            // stop of Direwolf, it would be left starting for good, with its child running.
            co_await startRigctld(pendingWork(ServiceID::rigctld));
        } catch (const std::exception &error) {
            failure = QString::fromUtf8(error.what());
        }
        if (!self || cancel.stop_requested()) {
            co_return;
        }
        if (!failure && rigctldProcess().state() != ServiceRunState::running) {
            failure = rigctldProcess().lastError().value_or(
                QStringLiteral("rigctld is %1 after its start").arg(toRaw(rigctldProcess().state())));
        }
        if (failure) {
            HelperLogger::warning(QString::fromUtf8("[Direwolf] rigctld auto-start failed \u2014 PTT will not key: ") +
                                      *failure,
                                  kServices);
            direwolfProcess().appendSyntheticLog(
                QString::fromUtf8("[Direwolf] WARNING: PTT via rigctld requested but rigctld failed to start (") +
                *failure +
                QString::fromUtf8(") \u2014 session will TX audio but PTT will not key.  Fix rigctld config and "
                                  "restart Direwolf, or switch PTT method to VOX / serial in the Direwolf detail "
                                  "view."));
        }
        co_return;
    }

    if (method.kind() != DirewolfPTTMethod::Kind::nativeCorvexa) {
        co_return;
    }
    const QString radio = trimmedSpacesAndTabs(config.nativeRigControlRadioName);
    if (!radio.isEmpty()) {
        logInfo(QStringLiteral("[Direwolf] publishing keep-alive request for radio '") + radio +
                QString::fromUtf8("' \u2014 Cordavelle will open CAT"));
        m_keepalive.startAdvertising(radio);
    }
    if (!m_discovery.endpoints().isEmpty()) {
        co_return;
    }
    logInfo(QStringLiteral("[Direwolf] PTT method is 'CAT via Cordavelle' \u2014 waiting up to 3s for Bonjour "
                           "discovery"));
    const auto endpoint = co_await m_discovery.waitForEndpoint(rigControlServerWait);
    if (!self) {
        co_return;
    }
    if (endpoint) {
        logInfo(QStringLiteral("[Direwolf] discovered Cordavelle RigControlServer at 127.0.0.1:") +
                QString::number(endpoint->port) + QString::fromUtf8(" \u2014 ") + endpoint->radioName);
        co_return;
    }
    HelperLogger::warning(QString::fromUtf8("[Direwolf] no Cordavelle RigControlServer advertisement after 3s \u2014 "
                                            "direwolf.conf will render without PTT (falls back to VOX)"),
                          kServices);
    const QString detail = radio.isEmpty() ? QStringLiteral("with a Native-source radio configured")
                                           : QStringLiteral("with '") + radio +
                                                 QStringLiteral("' configured as a Native-source radio");
    direwolfProcess().appendSyntheticLog(
        QStringLiteral("[Direwolf] WARNING: PTT via 'CAT via Cordavelle' requested but no RigControlServer "
                       "advertisement discovered.  Make sure Cordavelle is running ") +
        detail + QString::fromUtf8(" (Settings \u2192 Radios).  Falling back to VOX for this session."));
}

// --- rig-control server changes

void ServiceOrchestrator::installEndpointChangeObserver()
{
    m_discovery.setOnEndpointsChanged([self = QPointer(this)] {
        if (!self) {
            return;
        }
        // Later, like a new task: discovery finishes its own update first.
        QMetaObject::invokeMethod(
            self,
            [self] {
                if (self) {
                    self->reactToEndpointChange();
                }
            },
            Qt::QueuedConnection);
    });
}

QCoro::Task<void> ServiceOrchestrator::reactToEndpointChange()
{
    if (m_isReactingToEndpointChange) {
        logInfo(QStringLiteral("[Direwolf] endpoint change during self-inflicted restart cycle \u2014 ignoring "
                               "(guard active)."));
        co_return;
    }
    if (direwolfProcess().state() != ServiceRunState::running) {
        co_return;
    }
    const DirewolfConfig config = m_config.direwolfConfig();
    if (!config.pttMethod || config.pttMethod->kind() != DirewolfPTTMethod::Kind::nativeCorvexa) {
        co_return;
    }
    const QString radio = trimmedSpacesAndTabs(config.nativeRigControlRadioName);
    const auto endpoint = radio.isEmpty() ? m_discovery.anyEndpoint() : m_discovery.endpoint(radio);
    if (!endpoint) {
        logInfo(QStringLiteral("[Direwolf] endpoint disappeared while running (Cordavelle may have quit); Direwolf "
                               "stays running with stale config until endpoint reappears."));
        co_return;
    }

    logInfo(QStringLiteral("[Direwolf] endpoint set changed while running; effective endpoint=") + endpoint->radioName +
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
        // A new Direwolf can't start while the old one is still stopping, and would find its
        // ports taken.
        co_await waitWhileStopping(m_clock, QPointer(&direwolfProcess()), kOldDirewolfStopLimit, cancel);
        if (self && !cancel.stop_requested()) {
            co_await startDirewolf(cancel);
        }
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self) {
        co_return;
    }
    if (!failure && !cancel.stop_requested() && direwolfProcess().state() != ServiceRunState::running) {
        failure = QStringLiteral("Direwolf is %1 after its start").arg(toRaw(direwolfProcess().state()));
    }
    if (failure) {
        HelperLogger::error(QStringLiteral("[Direwolf] restart after endpoint change failed: ") + *failure, kServices);
    }
    clearEndpointChangeGuard(self);
}

QCoro::Task<void> ServiceOrchestrator::clearEndpointChangeGuard(QPointer<ServiceOrchestrator> self)
{
    if (!self) {
        co_return;
    }
    Clock &clock = self->m_clock;
    co_await clock.sleep(endpointChangeGuardTime);
    if (!self) {
        co_return;
    }
    self->m_isReactingToEndpointChange = false;
    logInfo(QStringLiteral("[Direwolf] endpoint-change guard cleared; further changes will re-trigger "
                           "reactToEndpointChange normally."));
}

} // namespace cordavelle
