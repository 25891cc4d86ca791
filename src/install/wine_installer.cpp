#include "wine_installer.h"

#include "own_file_modes.h"

#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "base/task_drain.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "core/orchestrator_service_control.h"
#include "core/service_control.h"
#include "core/service_orchestrator.h"
#include "core/wine_prefix_hold.h"
#include "install/atomic_install_staging.h"
#include "install/homebrew_bottle_resolver.h"
#include "install/install_log.h"
#include "platform/cancellation.h"
#include "platform/files.h"
#include "platform/http_status.h"
#include "platform/platform.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStringDecoder>

namespace cordavelle {

WineInstallerError::WineInstallerError(Case errorCase, QString description)
    : DescribedError(std::move(description)), m_case(errorCase)
{
}

WineInstallerError WineInstallerError::winetricksDownloadFailed(const QString &reason)
{
    return {Case::winetricksDownloadFailed, QStringLiteral("Could not install winetricks: ") + reason};
}

WineInstallerError WineInstallerError::releaseParseFailed()
{
    return {Case::releaseParseFailed, QStringLiteral("The answer is not a list of releases")};
}

WineInstallerError WineInstallerError::noStableRelease()
{
    return {Case::noStableRelease, QStringLiteral("No stable Wine release found")};
}

namespace {

// The run's archive; nothing to remove when the run failed before it had a folder for one.
void removeArchive(const QString &archive)
{
    if (!archive.isEmpty()) {
        QFile::remove(archive);
    }
}

// `text`, and after a colon the reason, when there is one.
QString withReason(const QString &text, const QString &reason)
{
    return reason.isEmpty() ? text : text + QStringLiteral(": ") + reason;
}

} // namespace

WineInstallerError WineInstallerError::extractionFailed(const QString &reason)
{
    return {Case::extractionFailed, withReason(QStringLiteral("Failed to extract Wine archive"), reason)};
}

WineInstallerError WineInstallerError::binaryNotFound()
{
    return {Case::binaryNotFound, QStringLiteral("Wine binary not found after extraction")};
}

WineInstallerError WineInstallerError::unsupportedArchitecture(const QString &machine)
{
    return {Case::unsupportedArchitecture,
            QStringLiteral("No Linux Wine build is available for this computer's architecture (%1)").arg(machine)};
}

WineInstallerError WineInstallerError::buildDoesNotRun(const QString &reason)
{
    return {Case::buildDoesNotRun, QStringLiteral("The downloaded Wine build does not run on this computer: ") + reason};
}

WineInstallerError WineInstallerError::modemRunning(const QString &modem)
{
    return {Case::modemRunning, QStringLiteral("Stop %1 before replacing Wine").arg(modem)};
}

WineInstallerError WineInstallerError::cabextractFormulaUnreadable(const QUrl &formula, const std::exception &reason)
{
    return {Case::cabextractFormulaUnreadable, failureWhile(formulaUnreadable(QStringLiteral("cabextract"), formula), reason)};
}

WineInstallerError WineInstallerError::cabextractExtractionFailed(const QString &reason)
{
    return {Case::cabextractExtractionFailed, withReason(QStringLiteral("Failed to extract the cabextract bottle"), reason)};
}

WineInstaller::WineInstaller(ConfigStore &config, InstallLog &log, Platform &platform, ServiceControl &services,
                             WinePrefixHold &prefixHold, QObject *parent)
    : Installer(parent), m_config(config), m_log(log), m_platform(platform), m_services(services),
      m_prefixHold(prefixHold),
      m_quiet(platform.clock(),
              [this](const QString &waiting) {
                  m_waiting = waiting;
                  Q_EMIT stateChanged();
              }),
      m_winetricks([this](std::stop_token stop) { return downloadWinetricks(std::move(stop)); },
                   [this](const QString &line) { appendLog(line); })
{
    connect(this, &WineInstaller::stateChanged, this, &Installer::changed);
    connect(this, &WineInstaller::busyChanged, this, &Installer::changed);
}

InstallProgress WineInstaller::progressOf(const State &state, bool busy)
{
    using Phase = InstallProgress::Phase;
    static const Phase phases[] = {Phase::idle,       Phase::preparing, Phase::downloading,
                                   Phase::extracting, Phase::complete,  Phase::failed};
    return {phases[int(state.kind())], state.progress(), {}, state.message(), busy, false};
}

InstallProgress WineInstaller::progress() const
{
    InstallProgress progress = progressOf(m_state, m_busy);
    if (progress.phase == InstallProgress::Phase::downloading) {
        progress.message = m_waiting;
    }
    return progress;
}

WineInstaller::~WineInstaller()
{
    // The flow's task refers to this installer at every step: let it end first.
    m_stop.request_stop();
    drainTask([this] { return m_busy; });
}

WineInstaller &WineInstaller::shared()
{
    static OrchestratorServiceControl services(ServiceOrchestrator::shared());
    static WineInstaller *instance = new WineInstaller(ConfigStore::shared(), InstallLog::shared(), Platform::current(),
                                                       services, WinePrefixHold::shared());
    return *instance;
}

void WineInstaller::setState(State state)
{
    if (state == m_state) {
        return;
    }
    m_state = std::move(state);
    Q_EMIT stateChanged();
}

void WineInstaller::setBusy(bool busy)
{
    if (busy == m_busy) {
        return;
    }
    m_busy = busy;
    Q_EMIT busyChanged();
}

void WineInstaller::appendLog(const QString &message)
{
    const QString line = shownLogLine(message, m_platform.clock().wallNow());
    showLogLines({line});
    m_log.appendLine(line, HelperLogger::Category::install);
}

void WineInstaller::pipeToLog(const QByteArray &chunk)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(chunk);
    if (decoder.hasError()) {
        return;
    }
    const QStringList pieces = text.split(QRegularExpression(QStringLiteral("[\\r\\n]")), Qt::SkipEmptyParts);
    if (pieces.isEmpty()) {
        return;
    }
    showLogLines(pieces);
    for (const QString &piece : pieces) {
        m_log.appendLine(piece, HelperLogger::Category::install);
    }
}

void WineInstaller::startInstall()
{
    // A second flow would fill the same staging folder and temporary files as the first.
    if (m_busy) {
        return;
    }
    m_stop = std::stop_source();
    setBusy(true);
    install(m_stop.get_token(), ++m_run);
}

void WineInstaller::cancel()
{
    if (m_busy) {
        // The flow notices at its next step (a transfer or tool is ended at once) and only then
        // goes to idle, so that no new install can start over the one that is ending.
        m_stop.request_stop();
        return;
    }
    setState(State::idle());
    appendLog(QStringLiteral("Wine installation cancelled"));
}

QCoro::Task<void> WineInstaller::install(std::stop_token stop, quint64 run)
{
    // Asked for once: the build is downloaded, renamed and unpacked in this one folder, and a
    // failure removes it from there, never from a place a later look would hand out.
    QString archive;
    try {
        beginNewAttempt();
        // Before anything is fetched: an install goes only where nobody else may lead it.
        usersOwnFolder(places::supportFolder());
        AtomicInstallStaging::refuseUnderRemoval(places::wineFolder());
        // No Rosetta on Linux: the flow goes straight to the download.
        setState(State::downloading(0.0));
        appendLog(QStringLiteral("Downloading Wine stable..."));
        archive = m_platform.paths().privateTemporary() + QLatin1Char('/') + kArchiveName;
        const QString tag = co_await downloadWine(archive, stop, run);
        appendLog(QStringLiteral("Download complete (v%1)").arg(tag));
        throwIfStopped(stop);

        setState(State::extracting());
        appendLog(QStringLiteral("Extracting Wine (this may take a minute)..."));
        co_await extractWine(archive, stop);
        // Recorded with the swap: the build is in place, whatever a later step does.
        pointVaraAtWine();
        m_platform.standardDefaults().setObject(kInstalledVersionKey, tag);
        appendLog(QStringLiteral("Wine extracted"));

        co_await provideWinetricks(stop);
        if (const auto cabextract = tools::findSystemCabextract()) {
            appendLog(QStringLiteral("Found existing cabextract at %1 — skipping download").arg(*cabextract));
        } else {
            appendLog(QStringLiteral("Installing cabextract..."));
            co_await installCabextract(stop);
            appendLog(QStringLiteral("cabextract installed"));
        }
        throwIfStopped(stop);

        QFile::remove(archive);
        setState(State::complete());
        appendLog(QStringLiteral("Wine v%1 installation complete!").arg(tag));
    } catch (const OperationCancelled &) {
        removeArchive(archive);
        setState(State::idle());
        appendLog(QStringLiteral("Wine installation cancelled"));
    } catch (const std::exception &error) {
        // A Wine build is about 100 MB: a failed install does not keep it for the next one.
        removeArchive(archive);
        const QString description = QString::fromUtf8(error.what());
        setState(State::error(description));
        appendLog(QStringLiteral("ERROR: ") + description);
        HelperLogger::error(QStringLiteral("[WineInstaller] Install failed: ") + description,
                            HelperLogger::Category::install);
    }
    setBusy(false);
}

QCoro::Task<QString> WineInstaller::downloadWine(QString destination, std::stop_token stop, quint64 run)
{
    const QString machine = m_platform.systemInfo().machineArchitecture();
    if (machine != QLatin1String("x86_64")) {
        throw WineInstallerError::unsupportedArchitecture(machine);
    }
    // The list, too, can keep the bar at its start while its server says nothing.
    m_quiet.begin(m_platform.remoteServices().wineReleases());
    const auto quietEnds = qScopeGuard([this] { m_quiet.end(); });
    const Release release = co_await findLatestStableRelease(stop);
    m_quiet.end();
    appendLog(QStringLiteral("Found: ") + release.url.fileName());
    try {
        co_return co_await fetchWineArchive(release, destination, stop, run);
    } catch (const OperationCancelled &) {
        throw;
    } catch (const std::exception &error) {
        throw DescribedError(failureWhile(QStringLiteral("Could not download Wine"), error));
    }
}

QCoro::Task<QString> WineInstaller::fetchWineArchive(Release release, QString destination, std::stop_token stop,
                                                     quint64 run)
{
    // A report applies only to this run, and only while it is still downloading.
    auto progress = [this, run, stop](qint64 received, qint64 total) {
        if (run == m_run) {
            m_quiet.heard();
        }
        if (total < 1 || run != m_run || stop.stop_requested() || m_state.kind() != State::Kind::downloading) {
            return;
        }
        setState(State::downloading(double(received) / double(total)));
    };
    m_quiet.begin(release.url);
    const auto quietEnds = qScopeGuard([this] { m_quiet.end(); });
    const HttpDownload download =
        co_await m_platform.httpClient().download(HttpRequest(release.url), destination, progress, stop);
    requireSuccessfulStatus(download, destination, QStringLiteral("the Wine build ") + release.url.fileName());
    co_return release.tag;
}

QCoro::Task<void> WineInstaller::runTar(QStringList arguments, WineInstallerError (*failure)(const QString &),
                                        std::stop_token stop)
{
    Command tar;
    tar.program = QStringLiteral("/usr/bin/tar");
    // What tar unpacks belongs to the user, with the umask applied to the archive's modes, also
    // where tar would keep the archive's owners and modes (run as root).
    tar.arguments = std::move(arguments) << QStringLiteral("--no-same-owner") << QStringLiteral("--no-same-permissions");
    QByteArray output;
    OutputHandler toLog = [this, &output](const QByteArray &chunk) {
        pipeToLog(chunk);
        if (output.size() < 4096) {
            output += chunk;
        }
    };
    const CommandResult result = co_await m_platform.commandRunner().runStreaming(std::move(tar), std::move(toLog), stop);
    throwIfStopped(stop);
    if (!result.started) {
        throw std::runtime_error(result.launchError.toStdString());
    }
    if (result.crashed || result.exitStatus != 0) {
        // Its first complaint says why ("xz: (stdin): File format not recognized"); the lines after
        // it only say that tar gave up.
        const QStringList lines = QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        throw failure(lines.isEmpty() ? QStringLiteral("exit status %1").arg(result.exitStatus) : lines.first().trimmed());
    }
}

QCoro::Task<void> WineInstaller::extractWine(QString archive, std::stop_token stop)
{
    RenamingEntryMover mover;
    const AtomicInstallStaging staging(places::wineFolder(), mover);
    staging.prepareEmpty();
    const auto releaseHold = qScopeGuard([this] { m_prefixHold.release(this); });
    try {
        // The archive's one top folder ("wine-10.0-amd64-wow64/") is left out.
        const QStringList unpack{QStringLiteral("-xf"), archive, QStringLiteral("-C"), staging.stagingURL(),
                                 QStringLiteral("--strip-components=1")};
        co_await runTar(unpack, &WineInstallerError::extractionFailed, stop);
        const QString folder = staging.stagingURL() + QLatin1Char('/');
        if (!ToolLocator::isExecutableFile(folder + places::kWineBinaryRelativePath)
            || !ToolLocator::isExecutableFile(folder + places::kWineserverRelativePath)) {
            throw WineInstallerError::binaryNotFound();
        }
        co_await checkStagedBuildRuns(staging.stagingURL(), stop);
        co_await holdForSwap(stop);
        // The last moment a cancel can keep the previous build in place.
        throwIfStopped(stop);
        staging.commit();
    } catch (...) {
        staging.discard();
        throw;
    }
}

QCoro::Task<void> WineInstaller::checkStagedBuildRuns(QString folder, std::stop_token stop)
{
    // Being executable is not enough: a build that lacks libraries here would replace one that
    // works. It runs from the staging folder with its own loader and server.
    Command check;
    check.program = folder + QLatin1Char('/') + places::kWineBinaryRelativePath;
    check.arguments = {QStringLiteral("--version")};
    check.environment.insert(QStringLiteral("WINELOADER"), check.program);
    check.environment.insert(QStringLiteral("WINESERVER"), folder + QLatin1Char('/') + places::kWineserverRelativePath);
    QByteArray output;
    OutputHandler collect = [&output](const QByteArray &chunk) { output += chunk; };
    const CommandResult result = co_await m_platform.commandRunner().runStreaming(check, std::move(collect), stop);
    throwIfStopped(stop);
    if (!result.started) {
        throw WineInstallerError::buildDoesNotRun(result.launchError);
    }
    if (result.crashed || result.exitStatus != 0) {
        const QString text = QString::fromUtf8(output).trimmed().right(500);
        throw WineInstallerError::buildDoesNotRun(text.isEmpty() ? QStringLiteral("exit status %1").arg(result.exitStatus)
                                                                 : text);
    }
}

QCoro::Task<void> WineInstaller::holdForSwap(std::stop_token stop)
{
    // The prefix's set-up and a VARA install run this build while they have the hold.
    if (const auto other = m_prefixHold.otherHolder(this)) {
        appendLog(WinePrefixHold::waitingLine(*other));
    }
    const bool held = co_await m_prefixHold.acquire(this, QStringLiteral("the Wine install"), stop);
    if (!held) {
        throw OperationCancelled();
    }
    for (const ServiceID id : {ServiceID::varaHF, ServiceID::varaFM}) {
        if (m_services.status(id).state != ServiceRunState::stopped && m_services.status(id).state != ServiceRunState::error) {
            throw WineInstallerError::modemRunning(displayName(id));
        }
    }
}

void WineInstaller::pointVaraAtWine()
{
    const QString winePath = places::ownWineBinary();
    VARAConfig hf = m_config.varaConfig();
    if (hf.winePath.isEmpty()) {
        hf.winePath = winePath;
        m_config.setVaraConfig(hf);
    }
    VARAFMConfig fm = m_config.varaFMConfig();
    if (fm.winePath.isEmpty()) {
        fm.winePath = winePath;
        m_config.setVaraFMConfig(fm);
    }
}

QCoro::Task<std::optional<std::pair<QString, QString>>> WineInstaller::checkForUpdate()
{
    try {
        const Release release = co_await findLatestStableRelease();
        setUpdateCheckFailure({});
        co_return std::pair{release.tag, installedVersion()};
    } catch (const std::exception &error) {
        setUpdateCheckFailure(QString::fromUtf8(error.what()));
        appendLog(QStringLiteral("Update check failed: ") + QString::fromUtf8(error.what()));
    }
    co_return std::nullopt;
}

bool WineInstaller::isInstalled() const { return isRunnableOwnCopy(places::ownWineBinary()); }

QString WineInstaller::installedVersion() const
{
    return m_platform.standardDefaults().stringForKey(kInstalledVersionKey).value_or(QString());
}

bool WineInstaller::isWinetricksInstalled() const { return isRunnableOwnCopy(places::ownWinetricks()); }

std::optional<QString> WineInstaller::findWine() { return tools::findWine(); }

std::optional<QString> WineInstaller::findWinetricks() { return tools::findWinetricks(); }

} // namespace cordavelle
