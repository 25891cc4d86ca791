#include "vara_installer.h"

#include "async/event.h"
#include "async/first_of.h"
#include "base/helper_error.h"
#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "base/service_config.h"
#include "base/tool_lookup.h"
#include "core/managed_process.h"
#include "core/service_control.h"
#include "core/wine_prefix_hold.h"
#include "install/install_log.h"
#include "install/wine_prefix_manager.h"
#include "platform/cancellation.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/command_runner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringDecoder>

#include <cerrno>
#include <cstring>

namespace cordavelle {

namespace {

// Every sleep of the flow ends the step as cancelled when the stop comes first.
QCoro::Task<void> sleepOrCancel(Clock &clock, std::chrono::milliseconds duration, std::stop_token stop)
{
    const bool slept = co_await clock.sleep(duration, std::move(stop));
    if (!slept) {
        throw OperationCancelled();
    }
}

bool runs(ServiceRunState state)
{
    return state == ServiceRunState::starting || state == ServiceRunState::running
           || state == ServiceRunState::stopping;
}

} // namespace

// One Wine program of the flow: whether it still runs, its end, and the stop that ends its own
// process group.
struct VARAInstaller::ChildRun {
    bool running = true;
    EndedBy endedBy = EndedBy::itself;
    async::Event ended;
    std::stop_source kill;
};

QMap<QString, QString> VARAInstaller::wineEnvironment(bool forWineserver) const
{
    QMap<QString, QString> environment{{QStringLiteral("WINEPREFIX"), places::winePrefix()}};
    if (!forWineserver) {
        environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("fixme-all"));
    }
    return environment;
}

void VARAInstaller::appendOutput(const QByteArray &chunk)
{
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(chunk);
    if (decoder.hasError()) {
        return;
    }
    static const QRegularExpression newline(QStringLiteral("[\\n\\r\\x{0b}\\x{0c}\\x{85}\\x{2028}\\x{2029}]"));
    const QStringList pieces = text.split(newline, Qt::SkipEmptyParts);
    if (pieces.isEmpty()) {
        return;
    }
    showLogLines(pieces);
    for (const QString &piece : pieces) {
        m_with.installLog.appendLine(piece, HelperLogger::Category::install);
    }
}

bool VARAInstaller::mayEndPrefix() const
{
    return m_with.prefixHold.isHeldBy(this) && !runs(m_with.services.status(ServiceID::varaHF).state)
           && !runs(m_with.services.status(ServiceID::varaFM).state);
}

std::optional<QString> VARAInstaller::removalInTheWay() const
{
    if (m_uninstalling) {
        return displayName(m_variant);
    }
    const std::optional<QString> &removal = m_with.prefixHold.removal();
    if (removal == WinePrefixHold::wholePrefix()) {
        return removal;
    }
    return std::nullopt;
}

QCoro::Task<void> VARAInstaller::holdPrefix(std::stop_token stop)
{
    if (const auto other = m_with.prefixHold.otherHolder(this)) {
        appendLog(WinePrefixHold::waitingLine(*other));
    }
    const bool held = co_await m_with.prefixHold.acquire(
        this, QStringLiteral("the ") + displayName(m_variant) + QStringLiteral(" install"), stop);
    if (!held) {
        throw OperationCancelled();
    }
}

QCoro::Task<void> VARAInstaller::runWineserver(QString argument, QString failureText, std::stop_token stop)
{
    const auto wineserver = tools::findWineserver();
    if (!wineserver || stop.stop_requested()) {
        co_return;
    }
    Command command;
    command.program = *wineserver;
    command.arguments = {argument};
    command.environment = wineEnvironment(true);
    CommandRunner &commands = m_with.commands;
    Clock &clock = m_with.clock;
    auto result = std::make_shared<CommandResult>();
    // Bounded, so that a wine server that never answers holds neither the install nor a cancel.
    std::vector<std::function<QCoro::Task<void>(std::stop_token)>> tasks;
    tasks.push_back([&commands, command, result](std::stop_token raceStop) -> QCoro::Task<void> {
        *result = co_await commands.runStreaming(command, {}, raceStop);
    });
    tasks.push_back([&clock](std::stop_token raceStop) -> QCoro::Task<void> {
        co_await clock.sleep(kWineserverLimit, raceStop);
    });
    const auto first = co_await async::firstOf<void>(std::move(tasks), stop);
    if (first.index == 0 && !result->started) {
        HelperLogger::warning(failureText + result->launchError, HelperLogger::Category::services);
    } else if (first.index == 1 && !stop.stop_requested()) {
        HelperLogger::warning(QStringLiteral("[VARAInstaller] wineserver ") + argument
                                  + QStringLiteral(" did not return within 15 s and was ended"),
                              HelperLogger::Category::services);
    }
}

QCoro::Task<void> VARAInstaller::killWineserver(std::stop_token stop)
{
    return runWineserver(QStringLiteral("-k"), QStringLiteral("[VARAInstaller] Failed to kill wineserver: "),
                         std::move(stop));
}

QCoro::Task<void> VARAInstaller::waitForWineserverShutdown(std::stop_token stop)
{
    return runWineserver(QStringLiteral("-w"),
                         QStringLiteral("[VARAInstaller] Failed to wait for wineserver shutdown: "), std::move(stop));
}

QCoro::Task<CommandResult> VARAInstaller::runChild(Command command, std::shared_ptr<ChildRun> run,
                                                   std::stop_token raceStop, std::function<void(int64_t)> onStarted)
{
    // The race ends the program with it, unless a watcher is already stopping it.
    const std::stop_callback endWithRace(raceStop, [run] {
        if (run->endedBy == EndedBy::itself) {
            run->kill.request_stop();
        }
    });
    OutputHandler toLog = [this](const QByteArray &chunk) { appendOutput(chunk); };
    const CommandResult result =
        co_await m_with.commands.runStreaming(std::move(command), std::move(toLog), run->kill.get_token(), std::move(onStarted));
    run->running = false;
    run->ended.set();
    if (!result.started) {
        throw ProcessLaunchError(result.launchError);
    }
    co_return result;
}

QCoro::Task<void> VARAInstaller::stopChild(std::shared_ptr<ChildRun> run, EndedBy by, QString line,
                                           std::stop_token raceStop)
{
    if (!run->running) {
        co_return;
    }
    if (run->endedBy != EndedBy::itself) {
        // Another watcher is ending it; the exit watcher then reports that one's verdict.
        co_await run->ended.wait(raceStop);
        co_return;
    }
    appendLog(line);
    run->endedBy = by;
    const bool wholePrefix = mayEndPrefix();
    if (wholePrefix) {
        co_await killWineserver(m_stop.get_token());
    }
    run->kill.request_stop();
    co_await run->ended.wait();
    if (wholePrefix) {
        co_await waitForWineserverShutdown(m_stop.get_token());
    }
}

QCoro::Task<void> VARAInstaller::runInstaller(QString exe, std::stop_token stop)
{
    const auto wine = tools::findWine();
    if (!wine) {
        throw tools::noWineError();
    }
    Command command;
    command.program = *wine;
    command.arguments = {exe, QStringLiteral("/VERYSILENT"), QStringLiteral("/SUPPRESSMSGBOXES"),
                         QStringLiteral("/NORESTART")};
    command.environment = wineEnvironment(false);
    appendLog(QStringLiteral("Running: ") + *wine + QLatin1Char(' ') + command.arguments.join(QLatin1Char(' ')));

    auto run = std::make_shared<ChildRun>();
    const QString exePath = this->exePath();
    const QDir folder(installDir());
    const QStringList critical = criticalDataFiles(m_variant);

    auto exitWatcher = [this, run, command](std::stop_token raceStop) -> QCoro::Task<int> {
        const CommandResult result = co_await runChild(command, run, raceStop);
        if (run->endedBy == EndedBy::timeLimit) {
            throw VARAInstallerError(VARAInstallerError::Kind::installTimedOut);
        }
        co_return run->endedBy == EndedBy::fileWatcher ? 0 : result.exitStatus;
    };
    auto fileWatcher = [this, run, exePath, folder, critical](std::stop_token raceStop) -> QCoro::Task<int> {
        co_await sleepOrCancel(m_with.clock, kFirstLook, raceStop);
        while (!QFileInfo::exists(exePath)) {
            co_await sleepOrCancel(m_with.clock, kPollInterval, raceStop);
        }
        for (const QString &name : critical) {
            while (!QFileInfo::exists(folder.filePath(name))) {
                co_await sleepOrCancel(m_with.clock, kPollInterval, raceStop);
            }
            appendLog(QStringLiteral("Data file present: ") + name);
        }
        co_await sleepOrCancel(m_with.clock, kGrace, raceStop);
        co_await stopChild(run, EndedBy::fileWatcher,
                           QStringLiteral("All critical files present — killing lingering installer process"), raceStop);
        co_return 0;
    };
    auto timeLimit = [this, run](std::stop_token raceStop) -> QCoro::Task<int> {
        co_await sleepOrCancel(m_with.clock, kSetupLimit, raceStop);
        co_await stopChild(run, EndedBy::timeLimit, QStringLiteral("TIMEOUT: installer exceeded 5 minutes — killing process"),
                           raceStop);
        throw VARAInstallerError(VARAInstallerError::Kind::installTimedOut);
    };
    std::vector<std::function<QCoro::Task<int>(std::stop_token)>> racers;
    racers.push_back(std::move(exitWatcher));
    racers.push_back(std::move(fileWatcher));
    racers.push_back(std::move(timeLimit));
    const auto first = co_await async::firstOf<int>(std::move(racers), stop);
    throwIfStopped(stop);

    QStringList missing;
    if (!QFileInfo::exists(exePath)) {
        missing << exeName(m_variant);
    }
    for (const QString &name : critical) {
        if (!QFileInfo::exists(folder.filePath(name))) {
            missing << name;
        }
    }
    if (!missing.isEmpty()) {
        appendLog(QStringLiteral("ERROR: install left missing files: ") + missing.join(QStringLiteral(", ")));
        throw VARAInstallerError(VARAInstallerError::Kind::installFailed, first.value);
    }
}

void VARAInstaller::fixOCXFiles()
{
    const QDir target(installDir());
    const QDir ocx(target.filePath(QStringLiteral("OCX")));
    if (!ocx.exists()) {
        appendLog(QStringLiteral("No OCX subdirectory found (may not be needed)"));
        return;
    }
    if (!ocx.isReadable()) {
        appendLog(QStringLiteral("Warning: could not read OCX directory: ") + QString::fromLocal8Bit(std::strerror(EACCES)));
        return;
    }
    int copied = 0;
    for (const QString &name : ocx.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                             QDir::NoSort)) {
        if (QFileInfo::exists(target.filePath(name))) {
            continue;
        }
        QFile source(ocx.filePath(name));
        if (source.copy(target.filePath(name))) {
            ++copied;
        } else {
            appendLog(QStringLiteral("Warning: could not copy OCX file '") + name + QStringLiteral("': ")
                      + source.errorString());
        }
    }
    appendLog(QStringLiteral("Copied %1 OCX files to %2 directory").arg(copied).arg(displayName(m_variant)));
}

QCoro::Task<void> VARAInstaller::verifyLaunch(std::stop_token stop)
{
    const auto wine = tools::findWine();
    if (!wine) {
        throw tools::noWineError();
    }
    Command command;
    command.program = *wine;
    command.arguments = {exePath()};
    command.environment = wineEnvironment(false);
    appendLog(QStringLiteral("Launching: ") + *wine + QLatin1Char(' ') + exePath());

    auto run = std::make_shared<ChildRun>();
    const QString name = displayName(m_variant);
    // Either racer answers: nothing while the modem runs on (a pass), or the status it exited with.
    using Verdict = std::optional<int>;
    auto launch = [this, run, command, name](std::stop_token raceStop) -> QCoro::Task<Verdict> {
        std::function<void(int64_t)> onStarted = [this, name](int64_t pid) {
            appendLog(name + QStringLiteral(" started (PID: %1), waiting to confirm stability...").arg(pid));
        };
        const CommandResult result = co_await runChild(command, run, raceStop, std::move(onStarted));
        if (run->endedBy == EndedBy::launchCheck) {
            co_return std::nullopt;
        }
        co_return result.exitStatus;
    };
    auto check = [this, run, name](std::stop_token raceStop) -> QCoro::Task<Verdict> {
        co_await sleepOrCancel(m_with.clock, kLaunchWait, raceStop);
        co_await stopChild(run, EndedBy::launchCheck, name + QStringLiteral(" is running — verification passed"),
                           raceStop);
        co_return std::nullopt;
    };
    std::vector<std::function<QCoro::Task<Verdict>(std::stop_token)>> racers;
    racers.push_back(std::move(launch));
    racers.push_back(std::move(check));
    const auto first = co_await async::firstOf<Verdict>(std::move(racers), stop);
    throwIfStopped(stop);
    if (!first.value) {
        co_return;
    }
    if (*first.value != 0) {
        throw VARAInstallerError(VARAInstallerError::Kind::verificationFailed, *first.value);
    }
    appendLog(name + QStringLiteral(" exited cleanly (code 0)"));
}

void VARAInstaller::setInstalling(bool installing)
{
    if (installing == m_installing) {
        return;
    }
    m_installing = installing;
    Q_EMIT installingChanged(installing);
}

bool VARAInstaller::startInstall()
{
    // A second flow would work over the first one's download folder and install folder; one
    // begun during an uninstall would see its files go.
    if (m_installing) {
        return false;
    }
    // An install into what is being removed would end as files gone, or as a record of them.
    if (const std::optional<QString> removal = removalInTheWay()) {
        appendLog(QStringLiteral("ERROR: ") + WinePrefixHold::removalRefusal(*removal));
        return false;
    }
    m_stop = std::stop_source();
    m_endPrefixOnCancel = false;
    setInstalling(true);
    install(m_stop.get_token());
    return true;
}

void VARAInstaller::cancel()
{
    // A removal under way can't be stopped part way, nor its end shown before it comes.
    if (m_uninstalling) {
        return;
    }
    if (m_installing) {
        // The flow ends its own programs at once and goes to idle only once it has ended, so
        // that no new install starts over the one that is ending.
        m_endPrefixOnCancel = true;
        m_stop.request_stop();
    } else {
        setState(State{});
    }
    appendLog(displayName(m_variant) + QStringLiteral(" installation cancelled by user"));
}

QCoro::Task<void> VARAInstaller::install(std::stop_token stop)
{
    bool cancelled = false;
    QString failure;
    try {
        co_await runFlow(stop);
    } catch (const OperationCancelled &) {
        cancelled = true;
    } catch (const std::exception &error) {
        // A transfer or a program ended by the stop reports an error of its own.
        cancelled = stop.stop_requested();
        failure = QString::fromUtf8(error.what());
    }
    if (cancelled && m_endPrefixOnCancel && mayEndPrefix()) {
        co_await killWineserver();
    }
    m_with.prefixHold.release(this);
    if (cancelled || !failure.isEmpty()) {
        // The archive and the unpacked setup serve no later install: each starts a fresh download.
        // The run's own folder: asking again could throw here, or name another place.
        if (!m_runFolder.isEmpty()) {
            QDir(m_runFolder).removeRecursively();
        }
    }
    m_runFolder.clear();
    if (cancelled) {
        setState(State{});
        appendLog(displayName(m_variant) + QStringLiteral(" installation cancelled"));
    } else if (!failure.isEmpty()) {
        setState(State::failed(failure));
        appendLog(QStringLiteral("ERROR: ") + failure);
        HelperLogger::error(QStringLiteral("[VARAInstaller] Install failed: ") + failure, HelperLogger::Category::install);
    }
    setInstalling(false);
}

QCoro::Task<void> VARAInstaller::runFlow(std::stop_token stop)
{
    const QString name = displayName(m_variant);
    beginNewAttempt();
    // Before anything is fetched: an install goes only where nobody else may lead it.
    usersOwnFolder(places::winePrefix());
    setState(State::downloading(0.0));
    appendLog(QStringLiteral("Searching for ") + name + QStringLiteral(" download..."));
    const QUrl url = co_await findDownloadURL(stop);
    const auto fileName = safeDownloadFileName(url);
    const auto version = fileName ? versionFromFileName(*fileName) : std::nullopt;
    appendLog(QStringLiteral("Found: ") + url.fileName()
              + (version ? QStringLiteral(" (v") + *version + QLatin1Char(')') : QString()));
    throwIfStopped(stop);

    const QString archive = co_await downloadFile(url, stop);
    appendLog(QStringLiteral("Download complete: ") + QFileInfo(archive).fileName());
    throwIfStopped(stop);
    setState({State::Kind::extracting, 0.0, {}});
    appendLog(QStringLiteral("Extracting installer..."));
    const QString folder = co_await extractZip(archive, stop);
    const QString setup = findInstallerExe(folder);
    appendLog(QStringLiteral("Found installer: ") + QFileInfo(setup).fileName());
    throwIfStopped(stop);

    // From here to the end of the trial launch the flow runs Wine in the shared prefix.
    co_await holdPrefix(stop);
    // A reset or a removal may have taken the prefix while the archive came in; Wine would make
    // a bare one silently, without the runtime the set-up installs, and VARA would not run.
    if (!WinePrefixManager::hasDependencies(places::winePrefix())) {
        throw VARAInstallerError(VARAInstallerError::Kind::prefixNotReady);
    }
    setState({State::Kind::installing, 0.0, {}});
    appendLog(QStringLiteral("Running ") + name + QStringLiteral(" installer (silent mode)..."));
    co_await runInstaller(setup, stop);
    appendLog(QStringLiteral("Installer completed"));
    setState({State::Kind::fixingOCX, 0.0, {}});
    appendLog(QStringLiteral("Fixing OCX file locations for Wine compatibility..."));
    fixOCXFiles();
    setState({State::Kind::verifying, 0.0, {}});
    appendLog(QStringLiteral("Verifying ") + name + QStringLiteral(" launches correctly..."));
    co_await verifyLaunch(stop);
    m_with.prefixHold.release(this);
    appendLog(name + QStringLiteral(" verified — launches successfully"));

    const QString exe = exePath();
    updateRecord([&exe](VARAConfigFields &record) { record.varaPath = exe; });
    updateRecord([&version](VARAConfigFields &record) { record.installedVersion = version.value_or(QStringLiteral("Unknown")); });
    const auto wine = tools::findWine();
    if (wine) {
        updateRecord([&wine](VARAConfigFields &record) {
            if (record.winePath.isEmpty()) {
                record.winePath = *wine;
            }
        });
    }
    QFile::remove(archive);
    QDir(folder).removeRecursively();
    setState({State::Kind::complete, 0.0, {}});
    appendLog(name + QStringLiteral(" installation complete!"));
}

} // namespace cordavelle
