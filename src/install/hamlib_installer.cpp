#include "hamlib_installer.h"

#include "own_file_modes.h"

#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "base/json_support.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "install/atomic_install_staging.h"
#include "install/bottle_program.h"
#include "install/homebrew_bottle_resolver.h"
#include "install/install_log.h"
#include "platform/cancellation.h"
#include "platform/files.h"
#include "platform/tree_removal.h"
#include "platform/platform.h"
#include "platform/system_info.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

namespace cordavelle {

namespace {

const QString kVersionKey = QStringLiteral("hamlibInstalledVersion");

QString describe(const std::exception &error) { return QString::fromUtf8(error.what()); }

// The formula's bottle for this machine, with the resolver's errors in the installer's words.
QCoro::Task<BottleInfo> fetchBottleInfo(HttpClient &http, QUrl formula, QString machineArchitecture,
                                        std::stop_token stop)
{
    try {
        co_return co_await HomebrewBottleResolver::fetchBottleInfo(http, formula, machineArchitecture, stop);
    } catch (const BottleResolverError &error) {
        if (error.errorCase() == BottleResolverError::Case::noBottleForCurrentArchitecture) {
            throw HamlibInstallerError::noBottleForArch();
        }
        throw HamlibInstallerError::bottleInfoParseFailed();
    } catch (const JsonDecodeError &) {
        throw HamlibInstallerError::bottleInfoParseFailed();
    }
}

// The formula, or a failure that says which formula from where could not be read.
QCoro::Task<BottleInfo> formulaOrSayWhy(HttpClient &http, QString name, QUrl formula, QString machineArchitecture,
                                        std::stop_token stop)
{
    try {
        co_return co_await fetchBottleInfo(http, formula, machineArchitecture, stop);
    } catch (const OperationCancelled &) {
        throw;
    } catch (const std::exception &error) {
        throw DescribedError(failureWhile(formulaUnreadable(name, formula), error));
    }
}

// The bottle, or a failure that says which bottle could not be downloaded.
QCoro::Task<void> bottleOrSayWhy(HttpClient &http, QString name, BottleInfo bottle, QString archive, std::stop_token stop,
                                 DownloadProgress heard)
{
    try {
        co_await HomebrewBottleResolver::downloadBottle(http, bottle, archive, QStringLiteral("the %1 bottle").arg(name),
                                                        stop, std::move(heard));
    } catch (const OperationCancelled &) {
        throw;
    } catch (const std::exception &error) {
        throw DescribedError(failureWhile(QStringLiteral("Could not download %1").arg(name), error));
    }
}

} // namespace

HamlibInstaller::HamlibInstaller(ConfigStore &config, UserDefaults &defaults, HttpClient &http, CommandRunner &runner,
                                 const SystemInfo &system, Clock &clock, const RemoteServices &remote,
                                 InstallLog &installLog, QObject *parent)
    : Installer(parent), m_config(config), m_defaults(defaults), m_http(http), m_runner(runner), m_system(system),
      m_clock(clock),
      m_remote(remote), m_installLog(installLog), m_quiet(clock, [this](const QString &waiting) {
          m_waiting = waiting;
          Q_EMIT stateChanged();
      })
{
    connect(this, &HamlibInstaller::stateChanged, this, &Installer::changed);
    connect(this, &HamlibInstaller::isRunningChanged, this, &Installer::changed);
}

InstallProgress HamlibInstaller::progressOf(const State &state, bool running)
{
    using Phase = InstallProgress::Phase;
    static const Phase phases[] = {Phase::idle, Phase::downloading, Phase::extracting, Phase::complete, Phase::failed};
    return {phases[int(state.phase)], state.progress, {}, state.message, running, false};
}

InstallProgress HamlibInstaller::progress() const
{
    InstallProgress progress = progressOf(m_state, isRunning());
    if (progress.phase == InstallProgress::Phase::downloading) {
        progress.message = m_waiting;
    }
    return progress;
}

// A running install holds on to this object; it is asked to stop, and its owner waits for it.
HamlibInstaller::~HamlibInstaller()
{
    if (m_stop) {
        m_stop->request_stop();
    }
}

HamlibInstaller &HamlibInstaller::shared()
{
    static HamlibInstaller *instance =
        new HamlibInstaller(ConfigStore::shared(), Platform::current().standardDefaults(),
                            Platform::current().httpClient(), Platform::current().commandRunner(),
                            Platform::current().systemInfo(), Platform::current().clock(),
                            Platform::current().remoteServices(), InstallLog::shared());
    return *instance;
}

QString HamlibInstaller::rigctldPath() { return places::ownRigctld(); }

void HamlibInstaller::startInstall()
{
    // A second flow would work over the first one's staging folder and archives.
    if (m_stop) {
        return;
    }
    // One begun while a reset removes the support folder would land in what goes, or in a new
    // folder of that name that outlives the reset with its record.
    try {
        AtomicInstallStaging::refuseUnderRemoval(places::hamlibFolder());
    } catch (const FileError &refusal) {
        beginNewAttempt();
        setState(State::error(refusal.description()));
        appendLog(QStringLiteral("ERROR: ") + refusal.description());
        return;
    }
    m_stop.emplace();
    Q_EMIT isRunningChanged();
    run(this, m_stop->get_token());
}

void HamlibInstaller::cancel()
{
    if (m_stop) {
        m_stop->request_stop();
        return;
    }
    setState(State::idle());
    appendLog(QStringLiteral("Hamlib installation cancelled"));
}

QCoro::Task<void> HamlibInstaller::run(QPointer<HamlibInstaller> self, std::stop_token stop)
{
    try {
        co_await self->install(stop);
    } catch (const OperationCancelled &) {
        if (self) {
            self->setState(State::idle());
            self->appendLog(QStringLiteral("Hamlib installation cancelled"));
        }
    } catch (const std::exception &error) {
        // Every failure is of a fetch or of what it brought, which Debian's package does without.
        const QString description = tools::withAptAdvice(describe(error), QStringLiteral("libhamlib-utils"));
        if (self) {
            self->setState(State::error(description));
            self->appendLog(QStringLiteral("ERROR: ") + description);
        }
        HelperLogger::error(QStringLiteral("[HamlibInstaller] Install failed: ") + description,
                            HelperLogger::Category::install);
    }
    if (self) {
        self->m_stop.reset();
        Q_EMIT self->isRunningChanged();
    }
}

QCoro::Task<void> HamlibInstaller::install(std::stop_token stop)
{
    beginNewAttempt();
    // Before anything is fetched: an install goes only where nobody else may lead it.
    usersOwnFolder(places::supportFolder());
    setState(State::downloading(0.0));
    appendLog(QStringLiteral("Fetching Hamlib bottle info..."));
    const QString machine = m_system.machineArchitecture();
    const BottleInfo hamlib = co_await formulaOrSayWhy(m_http, QStringLiteral("hamlib"),
                                                       m_remote.homebrewFormula(QStringLiteral("hamlib")), machine, stop);
    const BottleInfo libusb = co_await formulaOrSayWhy(m_http, QStringLiteral("libusb"),
                                                       m_remote.homebrewFormula(QStringLiteral("libusb")), machine, stop);

    throwIfStopped(stop);
    // One folder for the whole run: what is downloaded is renamed, unpacked and run there, never
    // in another place that a later look would hand out.
    const QString scratch = places::privateTemporaryFolder();
    const QString hamlibArchive = scratch + QStringLiteral("/hamlib-bottle.tar.gz");
    const QString libusbArchive = scratch + QStringLiteral("/libusb-bottle.tar.gz");
    const auto heard = [this](qint64, qint64) { m_quiet.heard(); };
    const auto quietEnds = qScopeGuard([this] { m_quiet.end(); });
    try {
        appendLog(QStringLiteral("Downloading Hamlib..."));
        m_quiet.begin(hamlib.url);
        co_await bottleOrSayWhy(m_http, QStringLiteral("Hamlib"), hamlib, hamlibArchive, stop, heard);

        setState(State::downloading(0.5));
        throwIfStopped(stop);
        appendLog(QStringLiteral("Downloading libusb..."));
        m_quiet.begin(libusb.url);
        co_await bottleOrSayWhy(m_http, QStringLiteral("libusb"), libusb, libusbArchive, stop, heard);
        m_quiet.end();

        throwIfStopped(stop);
        setState(State::extracting());
        appendLog(QStringLiteral("Extracting and assembling Hamlib..."));
        co_await assembleAndCommit(scratch, hamlibArchive, libusbArchive, stop);
    } catch (...) {
        // Failed or cancelled, the install keeps nothing it fetched.
        QFile::remove(hamlibArchive);
        QFile::remove(libusbArchive);
        throw;
    }

    // Installed: what follows can't fail, and a late cancel no longer undoes it.
    RigctldConfig rig = m_config.rigctldConfig();
    if (rig.rigctldPath.isEmpty()) {
        rig.rigctldPath = rigctldPath();
        m_config.setRigctldConfig(rig);
    }
    QFile::remove(hamlibArchive);
    QFile::remove(libusbArchive);
    m_defaults.setObject(kVersionKey, hamlib.version);
    setState(State::complete());
    appendLog(QStringLiteral("Hamlib v") + hamlib.version + QStringLiteral(" installation complete!"));
}

// Everything is done on the staged copy, and the staged rigctld has run, before it takes the
// place of the previous install: a failure at any step leaves that install as it was.
QCoro::Task<void> HamlibInstaller::assembleAndCommit(QString scratch, QString hamlibArchive, QString libusbArchive,
                                                     std::stop_token stop)
{
    const QString hamlibExtract = scratch + QStringLiteral("/hamlib-extract");
    const QString libusbExtract = scratch + QStringLiteral("/libusb-extract");
    const auto removeExtracts = [&] {
        QDir(hamlibExtract).removeRecursively();
        QDir(libusbExtract).removeRecursively();
    };
    RenamingEntryMover mover;
    const AtomicInstallStaging staging(places::hamlibFolder(), mover);
    staging.prepareEmpty();
    try {
        makeEmptyFolder(hamlibExtract);
        co_await hamlib_assembly::extractTar(m_runner, hamlibArchive, hamlibExtract, stop);
        const QString hamlibRoot = hamlib_assembly::findVersionedDir(hamlibExtract, QStringLiteral("hamlib"));
        makeEmptyFolder(libusbExtract);
        co_await hamlib_assembly::extractTar(m_runner, libusbArchive, libusbExtract, stop);
        const QString libusbRoot = hamlib_assembly::findVersionedDir(libusbExtract, QStringLiteral("libusb"));
        co_await hamlib_assembly::gather(m_runner, hamlibRoot, libusbRoot, staging.stagingURL(), stop);
        appendLog(QStringLiteral("Hamlib assembled"));

        appendLog(QStringLiteral("Fixing library paths..."));
        const QString loader = BottleProgram::systemLoader(m_system.machineArchitecture());
        co_await hamlib_assembly::makeRunnable(m_runner, staging.stagingURL(), loader, stop);
        appendLog(QStringLiteral("Library paths fixed"));
        throwIfStopped(stop);
        staging.commit();
    } catch (...) {
        staging.discard();
        removeExtracts();
        throw;
    }
    removeExtracts();
}

QCoro::Task<std::optional<DependencyVersions>> HamlibInstaller::checkForUpdate()
{
    QPointer<HamlibInstaller> self(this);
    try {
        const BottleInfo info = co_await formulaOrSayWhy(m_http, QStringLiteral("hamlib"),
                                                         m_remote.homebrewFormula(QStringLiteral("hamlib")),
                                                         m_system.machineArchitecture(), {});
        if (!self) {
            co_return std::nullopt;
        }
        setUpdateCheckFailure({});
        co_return DependencyVersions{info.version, installedVersion()};
    } catch (const std::exception &error) {
        if (self) {
            setUpdateCheckFailure(describe(error));
            appendLog(QStringLiteral("Update check failed: ") + describe(error));
        }
    }
    co_return std::nullopt;
}

bool HamlibInstaller::isInstalled() const
{
    return isRunnableOwnCopy(rigctldPath());
}

QString HamlibInstaller::installedVersion() const { return m_defaults.stringForKey(kVersionKey).value_or(QString()); }

void HamlibInstaller::appendLog(const QString &message)
{
    const QString line = shownLogLine(message, m_clock.wallNow());
    showLogLines({line});
    m_installLog.appendLine(line, HelperLogger::Category::install);
}

void HamlibInstaller::setState(State state)
{
    if (state != m_state) {
        m_state = std::move(state);
        Q_EMIT stateChanged();
    }
}

} // namespace cordavelle
