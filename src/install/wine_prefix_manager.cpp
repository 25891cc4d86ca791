#include "wine_prefix_manager.h"

#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "base/task_drain.h"
#include "base/tool_lookup.h"
#include "base/wine_environment.h"
#include "core/config_store.h"
#include "core/orchestrator_service_control.h"
#include "core/service_control.h"
#include "core/service_orchestrator.h"
#include "core/wine_prefix_hold.h"
#include "install/install_log.h"
#include "install/wine_installer.h"
#include "platform/cancellation.h"
#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/tree_removal.h"
#include "platform/platform.h"
#include "platform/tool_locator.h"

#include <QDateTime>
#include <QFileInfo>
#include <QScopeGuard>

#include <csignal>

namespace cordavelle {

namespace {

QString utcDescription(std::chrono::system_clock::time_point when)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" +0000");
}

bool isFile(const QString &path) { return QFileInfo(path).isFile(); }

} // namespace

WinePrefixError::WinePrefixError(Case errorCase, QString step, int code, QString description)
    : DescribedError(std::move(description)), m_case(errorCase), m_step(std::move(step)), m_code(code)
{
}

WinePrefixError WinePrefixError::processExited(const QString &step, int code)
{
    return {Case::processExited, step, code, step + QStringLiteral(" failed (exit code %1)").arg(code)};
}

WinePrefixError WinePrefixError::timeout(const QString &step)
{
    return {Case::timeout, step, 0, step + QStringLiteral(" timed out after 5 minutes")};
}

WinePrefixError WinePrefixError::winetricksNotFound(const std::optional<PassedOver> &passedOver)
{
    const QString advice = QStringLiteral("Install it with apt (`sudo apt install winetricks`)");
    if (passedOver) {
        return {Case::winetricksNotFound, {}, 0, passedOverText(QStringLiteral("winetricks"), *passedOver) + QStringLiteral(". ") + advice};
    }
    return {Case::winetricksNotFound, {}, 0, QStringLiteral("winetricks not found. ") + advice};
}

WinePrefixManager::WinePrefixManager(Collaborators with, QObject *parent) : Installer(parent), m_with(std::move(with))
{
    connect(this, &WinePrefixManager::stateChanged, this, &Installer::changed);
    connect(this, &WinePrefixManager::busyChanged, this, &Installer::changed);
}

InstallProgress WinePrefixManager::progressOf(const State &state, bool busy)
{
    using Phase = InstallProgress::Phase;
    static const Phase phases[] = {Phase::idle, Phase::settingUp, Phase::complete, Phase::failed};
    const Phase phase = phases[int(state.kind())];
    // The text is the step's while setting up and the failure's in the error state.
    const bool failed = phase == Phase::failed;
    return {phase, 0.0, failed ? QString() : state.text(), failed ? state.text() : QString(), busy,
            state.isRemovalError(), state.isRemoving()};
}

WinePrefixManager::~WinePrefixManager()
{
    // The set-up and the removal refer to this manager at every step: let them end first.
    m_stop.request_stop();
    m_removalStop.request_stop();
    terminateCurrentProcess();
    drainTask([this] { return m_busy || m_deleting; });
}

WinePrefixManager &WinePrefixManager::shared()
{
    // Lives until the process ends, like the set-up task it may be running.
    static WinePrefixManager *instance = [] {
        static OrchestratorServiceControl services(ServiceOrchestrator::shared());
        static InstalledPrefixTools prefixTools(WineInstaller::shared());
        return new WinePrefixManager({ConfigStore::shared(), InstallLog::shared(), services, WinePrefixHold::shared(),
                                      Platform::current().clock(), Platform::current().toolLocator(),
                                      places::winePrefix(), prefixTools});
    }();
    return *instance;
}

std::optional<QString> InstalledPrefixTools::findWine() { return tools::findWine(); }

std::optional<QString> InstalledPrefixTools::findWinetricks() { return tools::findWinetricks(); }

QString InstalledPrefixTools::cabextractSource() { return places::ownCabextract(); }

QCoro::Task<void> InstalledPrefixTools::installCabextract(std::stop_token stop)
{
    return m_wine.installCabextract(std::move(stop));
}

QCoro::Task<void> InstalledPrefixTools::installWinetricks(std::stop_token stop)
{
    return m_wine.downloadWinetricks(std::move(stop));
}

QString WinePrefixManager::logFileURL() const
{
    const QString path = places::supportFolder() + QLatin1Char('/') + InstallLog::kFileName;
    if (!QFileInfo::exists(path)) {
        try {
            // Only where the install log itself may write: nowhere another user may lead it.
            writeFileAtomically(usersOwnFolder(places::supportFolder()) + QLatin1Char('/') + InstallLog::kFileName,
                                (QStringLiteral("=== Cordavelle Helper Log \u2014 ") +
                                       utcDescription(m_with.clock.wallNow()) + QStringLiteral(" ===\n"))
                                          .toUtf8());
        } catch (const FileError &) {
            // The install log makes the file with its first line anyway.
        }
    }
    return path;
}

bool WinePrefixManager::isInitialized() const
{
    return QFileInfo(m_with.prefix + QStringLiteral("/drive_c/windows/system32")).isDir();
}

bool WinePrefixManager::hasDependencies(const QString &prefix)
{
    const QString windows = prefix + QStringLiteral("/drive_c/windows/");
    const auto present = [&](const QString &file) {
        return isFile(windows + QStringLiteral("system32/") + file) || isFile(windows + QStringLiteral("syswow64/") + file);
    };
    return present(QStringLiteral("msvbvm60.dll")) && present(QStringLiteral("pdh.dll"));
}

void WinePrefixManager::startFullSetup()
{
    // One set-up at a time over the prefix, also while a cancelled one is still winding down.
    if (m_busy) {
        return;
    }
    m_stop = std::stop_source();
    setBusy(true);
    fullSetup(m_stop.get_token());
}

void WinePrefixManager::cancel()
{
    // The row offers Cancel while a removal waits for the prefix or stops the modems too: the
    // removal ends before it deletes anything, and the prefix stays.
    if (m_deleting) {
        m_removalStop.request_stop();
        return;
    }
    terminateCurrentProcess();
    m_stop.request_stop();
    setState(State::idle());
    appendLog(QStringLiteral("Wine prefix setup cancelled by user"));
}

QCoro::Task<void> WinePrefixManager::deletePrefix()
{
    if (m_deleting) {
        co_return;
    }
    m_deleting = true;
    const void *holder = &m_deleting;
    WinePrefixHold &hold = m_with.prefixHold;
    const auto endOfRemoval = qScopeGuard([this, holder, &hold] {
        hold.release(holder);
        m_deleting = false;
    });
    // A set-up would go on making the prefix that is going: it ends, and gives the prefix up.
    terminateCurrentProcess();
    m_stop.request_stop();
    m_removalStop = std::stop_source();
    const auto cancelled = [this] {
        setState(State::idle());
        appendLog(QStringLiteral("Wine prefix removal cancelled"));
    };
    const bool held = co_await holdPrefix(holder, QStringLiteral("the prefix removal"), m_removalStop.get_token(),
                                          WinePrefixHold::wholePrefix());
    if (!held) {
        cancelled();
        co_return;
    }

    // The modems run from this prefix: stopped as a user would stop them, so that neither is
    // taken for crashed and restarted into a prefix that is going.
    // Named: g++ 12 can't keep a braced list's array in the frame across the awaits.
    const ServiceID modems[] = {ServiceID::varaHF, ServiceID::varaFM};
    for (const ServiceID id : modems) {
        if (m_with.services.status(id).state != ServiceRunState::stopped) {
            co_await m_with.services.prepareToStopService(id);
            m_with.services.stopService(id);
        }
    }
    if (m_removalStop.stop_requested()) {
        cancelled();
        co_return;
    }

    setState(State::removing(QStringLiteral("Deleting the Wine prefix...")));
    // The records go as the prefix is set aside: from then on, a quit or a crash leaves no record
    // of a modem whose files are going.
    ConfigStore &config = m_with.config;
    const VARAConfig hfBefore = config.varaConfig();
    const VARAFMConfig fmBefore = config.varaFMConfig();
    const std::function<void()> forget = [&config] { config.clearVaraInstallRecords(); };
    const RemovalResult removal = co_await removingTree(m_with.prefix, forget);
    if (removal.putBack) {
        // Nothing went: both modems are where their records said.
        config.setVaraConfig(hfBefore);
        config.setVaraFMConfig(fmBefore);
    }
    if (removalFailed(removal.outcome)) {
        // Shown on the prefix's line, where the deletion was asked for, with its Retry.
        const QString text = QStringLiteral("Could not delete the Wine prefix: ") + removal.description;
        setState(State::removalError(text));
        appendLog(QStringLiteral("ERROR: ") + text);
        co_return;
    }
    m_with.config.clearVaraInstallRecords();
    setState(State::idle());
    appendLog(QStringLiteral("Wine prefix deleted"));
}

QCoro::Task<void> WinePrefixManager::fullSetup(std::stop_token stop)
{
    beginNewAttempt();
    initLogFile();
    // Whether this set-up makes the prefix: only then does a failure take it away again.
    bool makesPrefix = false;
    std::optional<QString> failure;
    try {
        // The command-line developer tools that the macOS set-up waits for have no counterpart here.
        throwIfStopped(stop);
        // Wine writes the whole prefix: only where nobody else may lead it.
        usersOwnFolder(m_with.prefix);
        const bool held = co_await holdPrefix(this, QStringLiteral("the prefix set-up"), stop);
        if (!held) {
            throw OperationCancelled();
        }
        makesPrefix = !QFileInfo::exists(m_with.prefix);
        if (!isInitialized()) {
            co_await initializePrefix(stop);
        } else {
            appendLog(QStringLiteral("Wine prefix already initialized, skipping wineboot"));
            if (const auto wine = m_with.tools.findWine()) {
                co_await configureAudioDefaults(*wine, stop);
            }
        }
        throwIfStopped(stop);
        const QString toolsFolder = places::winetricksToolsFolder();
        co_await ensureCabextract(toolsFolder, stop);
        throwIfStopped(stop);
        if (!hasDependencies()) {
            co_await installDependencies(toolsFolder, stop);
        } else {
            appendLog(QStringLiteral("Dependencies already installed, skipping winetricks"));
        }
        makesPrefix = false;
        setState(State::ready());
        appendLog(QStringLiteral("Setup complete!"));
    } catch (const OperationCancelled &) {
        failure = QString();
    } catch (const std::exception &e) {
        failure = QString::fromUtf8(e.what());
    }
    if (failure) {
        // A half-made prefix is hundreds of megabytes, and the next set-up would take it for made.
        if (makesPrefix) {
            co_await removeUnfinishedPrefix();
        }
        if (failure->isEmpty()) {
            setState(State::idle());
            appendLog(QStringLiteral("Wine prefix setup cancelled"));
        } else {
            setState(State::error(*failure));
            appendLog(QStringLiteral("ERROR: ") + *failure);
        }
    }
    m_with.prefixHold.release(this);
    setBusy(false);
}

QCoro::Task<void> WinePrefixManager::removeUnfinishedPrefix()
{
    // Its wine server would go on writing into the folders being removed.
    if (const auto wine = m_with.tools.findWine()) {
        const QString server = QFileInfo(*wine).path() + QStringLiteral("/wineserver");
        if (ToolLocator::isExecutableFile(server)) {
            try {
                co_await runProcess(server, WineEnvironment::wineserverKillArguments(),
                                    WineEnvironment::base(m_with.prefix), QStringLiteral("Stopping the Wine server"), {});
            } catch (const std::exception &) {
                // The removal below says whether anything is left.
            }
        }
    }
    const RemovalResult removal = co_await removingTree(m_with.prefix);
    if (removalFailed(removal.outcome)) {
        appendLog(QStringLiteral("Could not remove the unfinished Wine prefix: ") + removal.description);
    } else {
        appendLog(QStringLiteral("Removed the unfinished Wine prefix"));
    }
}

QCoro::Task<bool> WinePrefixManager::holdPrefix(const void *holder, QString name, std::stop_token stop,
                                                std::optional<QString> removes)
{
    // A removal waits for a set-up of its own silently: that one is ending.
    const auto other = m_with.prefixHold.otherHolder(holder);
    if (other && !m_with.prefixHold.isHeldBy(this)) {
        const QString waiting = WinePrefixHold::waitingLine(*other);
        setState(State::initializing(waiting));
        appendLog(waiting);
    }
    const bool held = co_await m_with.prefixHold.acquire(holder, std::move(name), std::move(stop), std::move(removes));
    co_return held;
}

void WinePrefixManager::setState(State state)
{
    if (m_state != state) {
        m_state = std::move(state);
        Q_EMIT stateChanged();
    }
}

void WinePrefixManager::setBusy(bool busy)
{
    if (m_busy != busy) {
        m_busy = busy;
        Q_EMIT busyChanged();
    }
}

void WinePrefixManager::initLogFile()
{
    m_with.log.appendLine(QStringLiteral("=== Cordavelle Helper Setup Log \u2014 ") + utcDescription(m_with.clock.wallNow()) +
                              QStringLiteral(" ==="),
                          HelperLogger::Category::install);
}

void WinePrefixManager::appendLog(const QString &message)
{
    const QString line = shownLogLine(message, m_with.clock.wallNow());
    showLogLines({line});
    m_with.log.appendLine(line, HelperLogger::Category::install);
}

void WinePrefixManager::appendOutput(const QStringList &lines)
{
    if (lines.isEmpty()) {
        return;
    }
    showLogLines(lines, kMaxLogLines);
    for (const QString &line : lines) {
        m_with.log.appendLine(line, HelperLogger::Category::install);
    }
}

void WinePrefixManager::terminateCurrentProcess()
{
    terminate(m_currentProcess);
    m_currentProcess = nullptr;
}

void WinePrefixManager::terminate(ChildProcess *child)
{
    if (child && child->isRunning() && !child->signalGroup(SIGTERM)) {
        child->signalChild(SIGTERM);
    }
}

} // namespace cordavelle
