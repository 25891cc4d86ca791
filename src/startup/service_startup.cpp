#include "service_startup.h"

#include "api/pairing_manager.h"
#include "api/pairing_notifications.h"
#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "install/atomic_install_staging.h"
#include "install/install_log.h"
#include "install/own_file_modes.h"
#include "platform/exec_folders.h"
#include "platform/platform.h"
#include "platform/tree_removal.h"
#include "radio/rig_control_server_discovery.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>

namespace cordavelle {

namespace {

// Earlier versions left their installs group-writable under a session umask of 002, which the
// check before every launch refuses wherever the group can hold another user: the checklist
// would call them installed while no start ran them. Their modes are put right once per launch,
// before anything looks at them.
void tightenOwnInstalls()
{
    const ModeTightening result = tightenOwnModes(places::supportFolder());
    if (result.tightened > 0) {
        HelperLogger::info(QStringLiteral("Took write for the group and others from %1 of the helper's own files and "
                                          "folders in its support folder")
                               .arg(result.tightened),
                           HelperLogger::Category::install);
    }
    if (result.failed > 0) {
        HelperLogger::warning(QStringLiteral("Could not take write for the group and others from %1 of the helper's own "
                                             "files and folders in its support folder; the first: %2")
                                  .arg(QString::number(result.failed), result.firstFailure.value_or(QString())),
                              HelperLogger::Category::install);
    }
    if (result.foreignFolders > 0) {
        // What another user could put there is not the helper's to change, and no walk of its
        // own goes through a folder she could rearrange under it.
        HelperLogger::warning(QStringLiteral("Folders of other users in the helper's support folder, left as they are "
                                             "without looking into them: %1")
                                  .arg(result.foreignFolders),
                              HelperLogger::Category::install);
    }
}

void logFailedStep(const QString &step, const std::exception &error)
{
    HelperLogger::error(QStringLiteral("%1 failed: %2").arg(step, QString::fromUtf8(error.what())));
}

template <typename Step>
void runStep(const QString &step, Step &&run)
{
    try {
        run();
    } catch (const std::exception &error) {
        logFailedStep(step, error);
    }
}

// Partial downloads in every scratch folder of the user's, written before `writtenBefore` when
// that is given.
void sweepPartialDownloads(const QDateTime &writtenBefore = {})
{
    for (const QString &folder : places::ownScratchFolders()) {
        AtomicInstallStaging::sweepPartialDownloads(folder, writtenBefore);
    }
}

} // namespace

ServiceStartup::ServiceStartup(ConfigStore &config, ServiceOrchestrator &orchestrator, PairingManager &pairing,
                               RigControlServerDiscovery &discovery, Platform &platform, QObject *parent)
    : QObject(parent),
      m_config(config),
      m_orchestrator(orchestrator),
      m_pairing(pairing),
      m_discovery(discovery),
      m_notifications(platform.notifications()),
      m_networkInterfaces(platform.networkInterfaces()),
      m_httpServer(platform.clock(), platform.peerOwners()),
      m_bonjourAdvertiser(config, platform.bonjour(), platform.systemInfo())
{
}

ServiceStartup::~ServiceStartup() = default;

QString ServiceStartup::version()
{
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QStringLiteral("1.0") : version;
}

void ServiceStartup::launch()
{
    startServices();
    m_discovery.startBrowsing();
}

void ServiceStartup::startServices()
{
    tightenOwnInstalls();
    const QString advertisedVersion = version();

    // The keychain may take a while to settle (a keyring that never answers); the API comes up
    // meanwhile, and what needs a token waits for the warm-up.
    m_pairing.warmTokenCacheWhenSettled();

    // Nothing below waits for it.
    cleanUpAfterEarlierRun(this, m_orchestrator);

    // Microphone access needs no asking on Linux.

    Notifications &notifications = m_notifications;
    registerPairingNotificationCategory(notifications);
    notifications.requestAuthorization();
    m_notificationDelegate = std::make_unique<PairingNotificationDelegate>(notifications, m_pairing);

    m_httpServer.setFailureHandler([self = QPointer(this)](const QString &error) {
        if (self) {
            self->reportServerFailure(error);
        }
    });
    m_httpServer.setNetworkAccessPolicy([config = &m_config] { return config->allowNetworkAccess(); },
                                        m_networkInterfaces);
    // A stored port of 0 (or no port at all) would leave the helper without its API and without a
    // word about it: the default port is used instead, with a warning.
    const quint16 port = HTTPServer::apiPortOrDefault(m_config.apiPort());
    m_httpServer.start(port, [self = QPointer(this)](HTTPRequest request) -> QCoro::Task<HTTPResponse> {
        // A copy, so that a handler replaced meanwhile lives until this request is answered.
        const HTTPServer::Handler handler = self ? self->m_requestHandler : HTTPServer::Handler();
        if (!handler) {
            co_return HTTPResponse::notFound();
        }
        co_return co_await handler(std::move(request));
    });
    if (m_httpServer.listener()) {
        m_bonjourAdvertiser.advertise(m_httpServer.listener(), advertisedVersion);
    }

    m_orchestrator.startAlwaysOnServices();
    m_orchestrator.startIdleMonitor();
}

void ServiceStartup::reportServerFailure(const QString &error)
{
    // The port the server tried, which is the default one when the stored port was unusable.
    const int port = m_httpServer.port() != 0 ? int(m_httpServer.port()) : m_config.apiPort();
    HelperLogger::error(QStringLiteral("Failed to start HTTP server on port %1: %2").arg(QString::number(port), error),
                        HelperLogger::Category::network);
    if (m_failureReporter) {
        m_failureReporter(port, error);
    }
}

QCoro::Task<void> ServiceStartup::cleanUpAfterEarlierRun(QPointer<ServiceStartup> self,
                                                          ServiceOrchestrator &orchestrator)
{
    // Each step is logged and passed when it fails: what one can't clean up is no reason to
    // leave what the others clean up.
    // Before the first wait, so that no download of this run has begun yet.
    runStep(QStringLiteral("The sweep of partial downloads"),
            [] { sweepPartialDownloads(QDateTime::currentDateTime()); });
    runStep(QStringLiteral("The sweep of private folders an earlier run left"), [] {
        // A helper killed while it started a program leaves the folder that named it.
        const int execFolders = sweepLeftExecFolders(QDir::tempPath());
        if (execFolders > 0) {
            HelperLogger::info(QStringLiteral("Removed %1 private folders that an earlier run left in %2")
                                   .arg(QString::number(execFolders), QDir::tempPath()));
        }
    });
    try {
        co_await orchestrator.cleanupOrphanedProcesses();
    } catch (const std::exception &error) {
        logFailedStep(QStringLiteral("The sweep of stale processes"), error);
    }
    try {
        RenamingEntryMover mover;
        const QStringList installs{places::wineFolder(), places::hamlibFolder()};
        co_await AtomicInstallStaging::sweepOrphans(places::supportFolder(), installs, mover);
    } catch (const std::exception &error) {
        logFailedStep(QStringLiteral("The sweep of unfinished installs"), error);
    }
    // A removal cut short by a quit, a crash or a reset's restart left its tree set aside.
    QStringList removed;
    try {
        removed = {places::winePrefix(), places::varaFolder(VARAVariant::hf), places::varaFolder(VARAVariant::fm),
                   places::supportFolder(), places::legacyDirewolfFolder()};
        removed << places::ownScratchFolders();
    } catch (const std::exception &error) {
        logFailedStep(QStringLiteral("The look for removals an earlier run cut short"), error);
    }
    co_await finishingRemovals(removed);
    if (self) {
        Q_EMIT self->cleanupFinished();
    }
}

QCoro::Task<void> ServiceStartup::stopServices() { co_await m_orchestrator.stopAllServices(); }

void ServiceStartup::requestQuit()
{
    if (m_isQuitting) {
        return;
    }
    m_isQuitting = true;
    quit(this);
}

QCoro::Task<void> ServiceStartup::quit(QPointer<ServiceStartup> self)
{
    // Whatever a step meets, the quit goes on to its end: a helper that stays after its quit
    // keeps the API answering while nothing it started runs any more.
    HelperLogger::info(QStringLiteral("Stopping every service before quitting"));
    try {
        if (self) {
            co_await self->stopServices();
        }
    } catch (const std::exception &error) {
        logFailedStep(QStringLiteral("Stopping the services"), error);
    }
    // A download under way ends with the program; its partial file would outlive it.
    runStep(QStringLiteral("The sweep of partial downloads"), [] { sweepPartialDownloads(); });
    // What a removal under way set aside is gone for the helper already; the rest of it goes at
    // the next launch.
    for (const QString &tree : treesUnderRemoval()) {
        const QString text = QStringLiteral("The removal of %1 was cut short by the quit; it is finished at the next launch")
                                 .arg(tree);
        HelperLogger::warning(text, HelperLogger::Category::install);
        InstallLog::shared().appendLine(text, HelperLogger::Category::install);
    }
    if (self) {
        // What is written behind (the clients' last-seen times) is saved before the end.
        runStep(QStringLiteral("Saving the pairing records"), [&self] { self->m_pairing.flushPendingSave(); });
        Q_EMIT self->aboutToExit();
    }
    QCoreApplication::exit(0);
}

} // namespace cordavelle
