#include "vara_installer.h"

#include "async/first_of.h"
#include "base/helper_places.h"
#include "base/task_drain.h"
#include "core/config_store.h"
#include "core/managed_process.h"
#include "core/orchestrator_service_control.h"
#include "core/service_control.h"
#include "core/service_orchestrator.h"
#include "core/wine_prefix_hold.h"
#include "install/install_log.h"
#include "platform/cancellation.h"
#include "platform/clock.h"
#include "platform/command_runner.h"
#include "platform/files.h"
#include "platform/tree_removal.h"
#include "platform/http_client.h"
#include "platform/http_status.h"
#include "platform/platform.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStringDecoder>

namespace cordavelle {

namespace {

// The page is a short list of links; a cap also bounds how long a server may take over it at the
// slowest pace a document may keep.
constexpr qint64 kDownloadsPageCap = 256 * 1024;

QString shortTag(VARAVariant variant) { return variant == VARAVariant::hf ? QStringLiteral("hf") : QStringLiteral("fm"); }

} // namespace

VARAInstallerError::VARAInstallerError(Kind kind, int exitCode, QString detail)
    : DescribedError(describe(kind, exitCode, detail)), m_kind(kind), m_exitCode(exitCode)
{
}

QString VARAInstallerError::describe(Kind kind, int exitCode, const QString &detail)
{
    switch (kind) {
    case Kind::installFailed: return QStringLiteral("VARA installer exited with code %1").arg(exitCode);
    case Kind::verificationFailed:
        return QStringLiteral(
                   "VARA installed successfully, but the first-launch verification failed with exit code %1.  First "
                   "launches can be flaky as Wine settles registry and OCX state — try clicking Retry, or restart the "
                   "Helper and re-run the install.  If the problem persists, the setup log may include a Wine error "
                   "indicating which component failed.")
            .arg(exitCode);
    case Kind::downloadPageParseFailed: return QStringLiteral("Could not parse the VARA downloads page");
    case Kind::noDownloadFound: return QStringLiteral("No VARA download found on the Pelorin server");
    case Kind::unsafeDownloadName:
        return QStringLiteral("The VARA download link does not name a usable file: \"%1\"").arg(detail);
    case Kind::extractionFailed: return QStringLiteral("Failed to extract the VARA ZIP archive");
    case Kind::extractionTimedOut: return QStringLiteral("Extracting the VARA ZIP archive timed out after 5 minutes");
    case Kind::installerNotFound: return QStringLiteral("VARA setup executable not found in the downloaded archive");
    case Kind::installTimedOut: return QStringLiteral("VARA installer timed out after 5 minutes");
    case Kind::prefixNotReady:
        return QStringLiteral("The Wine prefix is missing or not set up. Set it up again, then retry the install.");
    }
    return {};
}

std::optional<QString> safeDownloadFileName(const QUrl &url)
{
    // Take the last segment as sent and decode it once: decoding it twice would turn "%252F"
    // into a slash, and the name is joined to the download folder.
    const QString encodedPath = url.path(QUrl::FullyEncoded);
    const QString segment = encodedPath.mid(encodedPath.lastIndexOf(QLatin1Char('/')) + 1);
    const QString name = QUrl::fromPercentEncoding(segment.toUtf8());
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") || name.contains(QLatin1Char('/'))
        || name.contains(QChar(0))) {
        return std::nullopt;
    }
    return name;
}

std::optional<QString> versionFromFileName(const QString &fileName)
{
    static const QRegularExpression pattern(QStringLiteral(R"(v?(\d+\.\d+(?:\.\d+)?))"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = pattern.match(fileName);
    if (!match.hasMatch()) {
        return std::nullopt;
    }
    return match.captured(1);
}

QUrl downloadLinkInPage(const QByteArray &page, const QUrl &pageURL, VARAVariant variant)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(page);
    if (decoder.hasError()) {
        throw VARAInstallerError(VARAInstallerError::Kind::downloadPageParseFailed);
    }
    const QRegularExpression pattern(downloadPattern(variant), QRegularExpression::CaseInsensitiveOption);
    QString last;
    bool found = false;
    for (auto it = pattern.globalMatch(text); it.hasNext();) {
        last = it.next().captured(1);
        found = true;
    }
    if (!found) {
        throw VARAInstallerError(VARAInstallerError::Kind::noDownloadFound);
    }
    const QUrl link(last);
    if (!link.isValid()) {
        throw VARAInstallerError(VARAInstallerError::Kind::noDownloadFound);
    }
    const QUrl resolved = pageURL.resolved(link);
    if (!resolved.isValid() || resolved.isEmpty()) {
        throw VARAInstallerError(VARAInstallerError::Kind::noDownloadFound);
    }
    return resolved;
}

VARAInstaller::VARAInstaller(VARAVariant variant, Collaborators with, QObject *parent)
    : Installer(parent), m_variant(variant), m_with(with)
{
    connect(this, &VARAInstaller::stateChanged, this, &Installer::changed);
    connect(this, &VARAInstaller::installingChanged, this, &Installer::changed);
}

InstallProgress VARAInstaller::progressOf(const State &state, bool installing)
{
    using Phase = InstallProgress::Phase;
    static const Phase phases[] = {Phase::idle,     Phase::downloading, Phase::extracting, Phase::installing,
                                   Phase::fixing,   Phase::verifying,   Phase::complete,   Phase::failed,
                                   Phase::settingUp};
    const bool removing = state.kind == State::Kind::removing;
    return {phases[int(state.kind)],
            state.progress,
            removing ? QStringLiteral("Uninstalling...") : QString(),
            state.error,
            installing || removing,
            state.removal,
            removing};
}

VARAInstaller::~VARAInstaller()
{
    // Stopped, every step of the flow ends at once (a transfer, a wait, its own Wine programs).
    m_stop.request_stop();
    drainTask([this] { return m_installing; });
}

namespace {

// Lives until the process ends, like the install flow it may be running.
VARAInstaller &sharedInstaller(VARAVariant variant)
{
    static OrchestratorServiceControl services(ServiceOrchestrator::shared());
    Platform &platform = Platform::current();
    return *new VARAInstaller(variant, {ConfigStore::shared(), platform.httpClient(), platform.commandRunner(),
                                        platform.clock(), InstallLog::shared(), services, WinePrefixHold::shared(),
                                        platform.remoteServices().varaDownloadsPage()});
}

} // namespace

VARAInstaller &VARAInstaller::hf()
{
    static VARAInstaller &instance = sharedInstaller(VARAVariant::hf);
    return instance;
}

VARAInstaller &VARAInstaller::fm()
{
    static VARAInstaller &instance = sharedInstaller(VARAVariant::fm);
    return instance;
}

QString VARAInstaller::installDir() const { return places::varaFolder(m_variant); }

QString VARAInstaller::exePath() const { return places::varaExecutable(m_variant); }

QString VARAInstaller::downloadFolder() const
{
    return QDir(places::privateTemporaryFolder())
        .filePath(QStringLiteral("velmara-vara-install-") + shortTag(m_variant));
}

void VARAInstaller::setState(const State &state)
{
    if (state == m_state) {
        return;
    }
    m_state = state;
    Q_EMIT stateChanged(m_state);
}

void VARAInstaller::appendLog(const QString &message)
{
    const QString line = shownLogLine(message, m_with.clock.wallNow());
    showLogLines({line});
    m_with.installLog.appendLine(line, HelperLogger::Category::install);
}

void VARAInstaller::updateRecord(const std::function<void(VARAConfigFields &)> &change)
{
    m_with.config.updateConfig(serviceID(m_variant), [&change](auto &config) {
        if constexpr (std::is_base_of_v<VARAConfigFields, std::decay_t<decltype(config)>>) {
            change(config);
        }
    });
}

InstalledCopy VARAInstaller::installedCopy() const
{
    if (!QFileInfo::exists(exePath())) {
        return {};
    }
    return {true, m_with.config.visitConfig(serviceID(m_variant), [](const auto &config) -> QString {
                if constexpr (std::is_base_of_v<VARAConfigFields, std::decay_t<decltype(config)>>) {
                    return config.installedVersion;
                } else {
                    return {};
                }
            })};
}

std::optional<QString> VARAInstaller::installedVersion() const
{
    const InstalledCopy copy = installedCopy();
    if (copy.version.isEmpty()) {
        return std::nullopt;
    }
    return QStringLiteral("v") + copy.version;
}

QCoro::Task<QUrl> VARAInstaller::findDownloadURL(std::stop_token stop)
{
    const QUrl page = m_with.downloadsPage;
    QUrl link;
    try {
        HttpRequest request(page);
        request.maximumSize = kDownloadsPageCap;
        const HttpResponse response = co_await m_with.http.get(std::move(request), stop);
        requireSuccessfulStatus(response, QStringLiteral("the page"));
        link = downloadLinkInPage(response.body, page, m_variant);
    } catch (const OperationCancelled &) {
        throw;
    } catch (const VARAInstallerError &) {
        // Its own words name the page already.
        throw;
    } catch (const std::exception &error) {
        throw DescribedError(failureWhile(QStringLiteral("The VARA downloads page from %1 could not be read").arg(page.host()), error));
    }
    requireSecureLink(link, page);
    co_return link;
}

QCoro::Task<QString> VARAInstaller::downloadFile(QUrl url, std::stop_token stop)
{
    const auto name = safeDownloadFileName(url);
    if (!name) {
        throw VARAInstallerError(VARAInstallerError::Kind::unsafeDownloadName, 0,
                                 QUrl::fromPercentEncoding(url.path(QUrl::FullyEncoded).section('/', -1).toUtf8()));
    }
    const QString folder = downloadFolder();
    m_runFolder = folder;
    makeEmptyFolder(folder);
    const QString destination = QDir(folder).filePath(*name);
    QPointer<VARAInstaller> self(this);
    auto progress = [self](qint64 received, qint64 total) {
        // A report that arrives after the download has moved on must not take the state back.
        if (!self || total < 1 || self->m_state.kind != State::Kind::downloading) {
            return;
        }
        self->setState(State::downloading(double(received) / double(total)));
    };
    try {
        const HttpDownload download = co_await m_with.http.download(HttpRequest(url), destination, progress, stop);
        requireSuccessfulStatus(download, destination, QStringLiteral("the VARA download ") + *name);
    } catch (const OperationCancelled &) {
        throw;
    } catch (const std::exception &error) {
        throw DescribedError(failureWhile(QStringLiteral("Could not download ") + displayName(m_variant), error));
    }
    co_return destination;
}

QCoro::Task<QString> VARAInstaller::extractZip(QString archive, std::stop_token stop)
{
    const QFileInfo info(archive);
    QString base = info.fileName();
    const int dot = base.lastIndexOf(QLatin1Char('.'));
    if (dot > 0) {
        base.truncate(dot);
    }
    const QString folder = info.dir().filePath(base);
    if (!makeFolders(folder)) {
        throw FileError(QStringLiteral("Could not create the folder %1").arg(folder));
    }
    Command unzip;
    unzip.program = QStringLiteral("unzip");
    unzip.arguments = {QStringLiteral("-q"), QStringLiteral("-o"), archive, QStringLiteral("-d"), folder};
    // Bounded like the setup run, so that an unpacker that never ends holds neither the install
    // nor its cancel.
    CommandRunner &commands = m_with.commands;
    Clock &clock = m_with.clock;
    CommandResult result;
    std::vector<std::function<QCoro::Task<void>(std::stop_token)>> racers;
    racers.push_back([&commands, &unzip, &result](std::stop_token raceStop) -> QCoro::Task<void> {
        result = co_await commands.runStreaming(unzip, {}, raceStop);
    });
    racers.push_back([&clock](std::stop_token raceStop) -> QCoro::Task<void> {
        co_await clock.sleep(kExtractLimit, raceStop);
    });
    const auto first = co_await async::firstOf<void>(std::move(racers), stop);
    throwIfStopped(stop);
    if (first.index == 1) {
        throw VARAInstallerError(VARAInstallerError::Kind::extractionTimedOut);
    }
    if (!result.started) {
        throw ProcessLaunchError(result.launchError);
    }
    if (result.crashed || result.exitStatus != 0) {
        throw VARAInstallerError(VARAInstallerError::Kind::extractionFailed);
    }
    co_return folder;
}

QString VARAInstaller::findInstallerExe(const QString &folder) const
{
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = it.fileName().toLower();
        if (name.contains(QLatin1String("vara")) && name.contains(QLatin1String("setup"))
            && name.endsWith(QLatin1String(".exe"))) {
            return path;
        }
    }
    throw VARAInstallerError(VARAInstallerError::Kind::installerNotFound);
}

QCoro::Task<std::optional<VARARelease>> VARAInstaller::checkForUpdate()
{
    QPointer<VARAInstaller> self(this);
    QString failure;
    try {
        const QUrl url = co_await findDownloadURL();
        const auto name = safeDownloadFileName(url);
        const auto version = name ? versionFromFileName(*name) : std::nullopt;
        if (!version) {
            // The lookups built on this check tell their callers why it failed.
            if (self) {
                self->setUpdateCheckFailure(
                    QStringLiteral("The VARA download \"%1\" names no version").arg(url.fileName()));
            }
            co_return std::nullopt;
        }
        if (self) {
            self->setUpdateCheckFailure({});
        }
        co_return VARARelease{*version, url};
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (self) {
        self->setUpdateCheckFailure(failure);
        self->appendLog(QStringLiteral("Update check failed: ") + failure);
    }
    co_return std::nullopt;
}

QString VARAInstaller::uninstallRefusal(VARAVariant variant)
{
    return displayName(variant) + QStringLiteral(" can't be uninstalled while it is being installed.");
}

void VARAInstaller::forgetFailure()
{
    if (!m_installing && m_state.kind == State::Kind::error) {
        setState(State{});
    }
}

QCoro::Task<bool> VARAInstaller::uninstall()
{
    // The install would go on to record a path and a version for files that are gone.
    const auto refuse = [this] {
        appendLog(QStringLiteral("ERROR: ") + uninstallRefusal(m_variant));
        return false;
    };
    if (m_installing) {
        co_return refuse();
    }
    if (m_uninstalling) {
        appendLog(QStringLiteral("ERROR: ") + WinePrefixHold::removalRefusal(displayName(m_variant)));
        co_return false;
    }
    // What is removed with the whole prefix goes with it.
    if (m_with.prefixHold.removal() == WinePrefixHold::wholePrefix()) {
        appendLog(QStringLiteral("ERROR: ") + WinePrefixHold::removalRefusal(WinePrefixHold::wholePrefix()));
        co_return false;
    }
    m_uninstalling = true;
    QPointer<VARAInstaller> self(this);
    WinePrefixHold &hold = m_with.prefixHold;
    const void *holder = &m_uninstalling;
    const auto ended = qScopeGuard([self, &hold, holder] {
        hold.release(holder);
        if (self) {
            self->m_uninstalling = false;
        }
    });
    setState(State{State::Kind::removing, 0.0, {}, false});
    // Held from here to the end as Delete Wine Prefix holds it: no start runs Wine on the modem
    // being removed, and no other removal walks the same folders meanwhile.
    if (const auto other = hold.otherHolder(holder)) {
        appendLog(WinePrefixHold::waitingLine(*other));
    }
    const QString holderName = QStringLiteral("the ") + displayName(m_variant) + QStringLiteral(" uninstall");
    const std::stop_token never;
    const bool held = co_await hold.acquire(holder, holderName, never, displayName(m_variant));
    if (!self || !held) {
        co_return false;
    }
    const ServiceID id = serviceID(m_variant);
    if (m_with.services.status(id).state != ServiceRunState::stopped) {
        co_await m_with.services.prepareToStopService(id);
        if (!self) {
            co_return false;
        }
        if (m_installing) {
            co_return refuse();
        }
        m_with.services.stopService(id);
    }
    const QString folder = installDir();
    // The record goes as the folder is set aside, so that a quit or a crash before the end never
    // leaves it naming files that are going. Two saves, as two separate changes of the record.
    const auto forget = [self] {
        if (self) {
            self->updateRecord([](VARAConfigFields &record) { record.varaPath.clear(); });
            self->updateRecord([](VARAConfigFields &record) { record.installedVersion.clear(); });
        }
    };
    const VARAConfigFields before = m_with.config.visitConfig(id, [](const auto &config) -> VARAConfigFields {
        if constexpr (std::is_base_of_v<VARAConfigFields, std::decay_t<decltype(config)>>) {
            return config;
        } else {
            return {};
        }
    });
    // Not QDir::removeRecursively(): it gives up on a folder named through "link/..".
    const RemovalResult removal = co_await removingTree(folder, forget);
    if (!self) {
        co_return false;
    }
    if (removal.putBack) {
        // Nothing went: the modem is where its record said.
        updateRecord([&before](VARAConfigFields &record) {
            record.varaPath = before.varaPath;
            record.installedVersion = before.installedVersion;
        });
    }
    if (removalFailed(removal.outcome)) {
        const QString text =
            QStringLiteral("Could not remove %1: %2").arg(QDir::toNativeSeparators(folder), removal.description);
        setState(State::removalFailed(text));
        appendLog(QStringLiteral("ERROR: ") + text);
        co_return false;
    }
    // Also when the folder could not be set aside (it was not there).
    forget();
    setState(State{});
    appendLog(displayName(m_variant) + QStringLiteral(" uninstalled"));
    co_return true;
}

} // namespace cordavelle
