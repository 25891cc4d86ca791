#include "helper_uninstaller.h"

#include "async/event.h"
#include "async/first_of.h"
#include "base/helper_logger.h"
#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "base/wine_environment.h"
#include "core/config_store.h"
#include "core/experimental_features.h"
#include "core/service_control.h"
#include "core/wine_prefix_hold.h"
#include "install/hamlib_installer.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/tree_removal.h"
#include "platform/command_runner.h"
#include "platform/keychain.h"
#include "platform/logger.h"
#include "platform/login_item.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <memory>

#include <sys/stat.h>

namespace cordavelle {

namespace {

Logger uninstallerLogger() { return Logger(HelperLogger::subsystem(), QStringLiteral("HelperUninstaller")); }

// What a failed removal tells the user, after `doing` ("Could not remove wine-prefix"): one that
// removed nothing says so in its first words, so that a sheet of warnings is not read as "done,
// but for details".
QString removalFailureText(Removal outcome, const QString &doing, const QString &description)
{
    const QString text = QStringLiteral("%1: %2").arg(doing, description);
    return outcome == Removal::failed ? QStringLiteral("Nothing was removed. ") + text : text;
}

// Removes one path and reports it in the words of the full reset.
QCoro::Task<Removal> removeReported(QString path, ResetReport &report)
{
    const RemovalResult removal = co_await removingTree(path);
    if (removal.outcome == Removal::removed) {
        report.removedPaths << path;
        uninstallerLogger().info(QStringLiteral("Removed %1").arg(path));
    } else if (removalFailed(removal.outcome)) {
        report.errors << removalFailureText(removal.outcome, QStringLiteral("Could not remove ") + QFileInfo(path).fileName(),
                                            removal.description);
        uninstallerLogger().error(QStringLiteral("Failed to remove %1: %2").arg(path, removal.description));
    }
    co_return removal.outcome;
}

// What the reset of everything removes, in order.
QStringList removedByEverything()
{
    QStringList paths{places::supportFolder()};
    paths << places::ownScratchFolders();
    return paths;
}

} // namespace

HelperUninstaller::HelperUninstaller(Collaborators collaborators) : m_with(std::move(collaborators)) {}

HelperUninstaller::EndedInstaller HelperUninstaller::installer(WineInstaller &wine)
{
    return {QStringLiteral("the Wine install"), &wine, false};
}

HelperUninstaller::EndedInstaller HelperUninstaller::installer(WinePrefixManager &prefix)
{
    return {QStringLiteral("the Wine prefix set-up"), &prefix, true};
}

HelperUninstaller::EndedInstaller HelperUninstaller::installer(VARAInstaller &vara)
{
    return {QStringLiteral("the ") + displayName(vara.variant()) + QStringLiteral(" install"), &vara, true};
}

HelperUninstaller::EndedInstaller HelperUninstaller::installer(HamlibInstaller &hamlib)
{
    return {QStringLiteral("the Hamlib install"), &hamlib, false};
}

QCoro::Task<bool> HelperUninstaller::endInstallersAndHold(bool everything, QString kept, ResetReport &report)
{
    std::vector<const EndedInstaller *> ending;
    for (const EndedInstaller &ended : m_with.installers) {
        if ((everything || ended.inPrefix) && ended.running()) {
            uninstallerLogger().info(QStringLiteral("Cancelling %1").arg(ended.name));
            ended.installer->cancel();
            ending.push_back(&ended);
        }
    }
    const auto stillRunning = [&ending] {
        return std::any_of(ending.begin(), ending.end(), [](const EndedInstaller *ended) { return ended->running(); });
    };
    // One bound for both waits: an installer that does not end, or a hold that is not given up,
    // keeps the reset no longer than that.
    std::vector<std::function<QCoro::Task<bool>(std::stop_token)>> racers;
    racers.push_back([this, &ending, &stillRunning](std::stop_token stop) -> QCoro::Task<bool> {
        QObject context;
        auto changed = std::make_shared<async::Event>();
        for (const EndedInstaller *ended : ending) {
            QObject::connect(ended->installer, &Installer::changed, &context, [changed] { changed->set(); });
        }
        while (stillRunning()) {
            const async::Event wake = *changed;
            const bool woken = co_await wake.wait(stop);
            if (!woken) {
                co_return false;
            }
            *changed = async::Event{};
        }
        co_return co_await m_with.prefixHold.acquire(this, QStringLiteral("the reset"), stop, WinePrefixHold::wholePrefix());
    });
    racers.push_back([this](std::stop_token stop) -> QCoro::Task<bool> {
        co_await m_with.clock.sleep(kInstallerWait, stop);
        co_return false;
    });
    const auto first = co_await async::firstOf<bool>(std::move(racers));
    if (first.value) {
        co_return true;
    }
    // Taken in the moment the time ran out: given back, since nothing is removed.
    m_with.prefixHold.release(this);
    for (const EndedInstaller *ended : ending) {
        if (ended->running()) {
            report.errors << QStringLiteral("Could not stop %1; %2").arg(ended->name, kept);
        }
    }
    if (!stillRunning()) {
        const QString holder = m_with.prefixHold.holder().value_or(QStringLiteral("another task"));
        report.errors << QStringLiteral("The Wine prefix is in use by %1; %2").arg(holder, kept);
    }
    uninstallerLogger().error(report.errors.join(QStringLiteral("; ")));
    co_return false;
}

QCoro::Task<ResetReport> HelperUninstaller::resetSettings()
{
    uninstallerLogger().info(QStringLiteral("Reset Level 1: clearing settings"));
    ResetReport report;
    co_await clearSettings(report);
    uninstallerLogger().info(QStringLiteral("Reset Level 1 complete: %1 error(s)").arg(report.errors.size()));
    co_return report;
}

QCoro::Task<ResetReport> HelperUninstaller::resetWinePrefix()
{
    uninstallerLogger().info(QStringLiteral("Reset Level 2: clearing Wine prefix"));
    ResetReport report;
    co_await stopServices(false);
    const bool held = co_await endInstallersAndHold(false, QStringLiteral("the Wine prefix was kept."), report);
    if (held) {
        co_await killWineProcessesForPrefix(report);
        // The records follow what is on disk, as the prefix line's deletion and the uninstall keep
        // them: a removal refused before the prefix was set aside left the installs there, and
        // their records stay.
        const bool removed = co_await removeWinePrefix(report);
        if (removed) {
            m_with.config.clearVaraInstallRecords();
        }
        m_with.prefixHold.release(this);
    }
    struct stat left {};
    // What a removal set aside and could not take is as much the prefix as what it never reached.
    const auto kept = [&left](const QString &path) {
        return ::lstat(QFile::encodeName(path).constData(), &left) == 0 || errno != ENOENT;
    };
    report.prefixKept = kept(places::winePrefix()) || kept(removalAside(places::winePrefix()));
    announceRemovals();
    uninstallerLogger().info(QStringLiteral("Reset Level 2 complete: %1 error(s)").arg(report.errors.size()));
    co_return report;
}

QCoro::Task<ResetReport> HelperUninstaller::resetEverything()
{
    uninstallerLogger().info(QStringLiteral("Reset Level 3: full uninstall"));
    ResetReport report;
    // From the first step: an install begun in the meantime would land in what goes, or in a new
    // folder of its name once the old one is set aside, and outlive the reset with its record.
    std::vector<std::unique_ptr<RemovalHold>> going;
    for (const QString &path : removedByEverything()) {
        going.push_back(std::make_unique<RemovalHold>(path));
    }
    co_await stopServices(true);
    const bool held = co_await endInstallersAndHold(true, QStringLiteral("the helper's files were kept."), report);
    if (held) {
        co_await killWineProcessesForPrefix(report);
    }
    co_await clearSettings(report);
    if (held) {
        co_await removeFilesystemPaths(report);
        m_with.prefixHold.release(this);
    }
    announceRemovals();
    uninstallerLogger().info(QStringLiteral("Reset Level 3 complete: removed %1 path(s), %2 keychain item(s), %3 error(s)")
                      .arg(report.removedPaths.size())
                      .arg(report.keychainItemsRemoved)
                      .arg(report.errors.size()));
    co_return report;
}

void HelperUninstaller::announceRemovals()
{
    // Each reads its files again: what a level removed, wholly or in part, changed no state of
    // theirs, and the views would go on showing what was there.
    for (const EndedInstaller &ended : m_with.installers) {
        Q_EMIT ended.installer->changed();
    }
}

QCoro::Task<void> HelperUninstaller::clearSettings(ResetReport &report)
{
    co_await clearUserDefaults(m_with.defaults, m_with.config.priorPreferencesFile(), report);
    co_await clearKeychainPairingTokens(report);
    unregisterLoginItem(report);
    reloadMemoryState();
}

QCoro::Task<void> HelperUninstaller::stopServices(bool everyService)
{
    // Stopped as a user would stop them, so that an always-on modem is not taken for crashed
    // and restarted once Wine is gone.
    for (const ServiceID id : EnumTraits<ServiceID>::cases) {
        const bool isVara = id == ServiceID::varaHF || id == ServiceID::varaFM;
        if (!everyService && !isVara) {
            continue;
        }
        if (m_with.services.status(id).state == ServiceRunState::stopped) {
            continue;
        }
        co_await m_with.services.prepareToStopService(id);
        m_with.services.stopService(id);
    }
}

QCoro::Task<void> HelperUninstaller::killWineProcessesForPrefix(ResetReport &report)
{
    const std::optional<QString> wineserver = tools::findWineserver();
    if (!wineserver) {
        co_return;
    }
    // Wine writes into the prefix it is pointed at; one that may not be removed, since another
    // user may lead its way elsewhere, is not written to either. Its removal says why.
    try {
        usersOwnFolder(places::winePrefix());
    } catch (const FileError &refusal) {
        uninstallerLogger().error(QStringLiteral("Wine processes of the prefix were not ended: %1").arg(refusal.description()));
        co_return;
    }
    Command command;
    command.program = *wineserver;
    command.arguments = WineEnvironment::wineserverKillArguments();
    command.environment.insert(QStringLiteral("WINEPREFIX"), places::winePrefix());
    const CommandResult result = co_await m_with.runner.run(command);
    if (!result.started) {
        report.errors << QStringLiteral("Could not kill Wine processes: ") + result.launchError;
        uninstallerLogger().error(QStringLiteral("wineserver -k failed: %1").arg(result.launchError));
    }
}

QCoro::Task<void> HelperUninstaller::clearUserDefaults(UserDefaults &defaults, QString priorPreferences,
                                                       ResetReport &report)
{
    const QString domain = defaults.domain();
    defaults.removeDomain();
    report.userDefaultsCleared = true;
    uninstallerLogger().info(QStringLiteral("Cleared UserDefaults domain %1").arg(domain));

    // The earlier bundle's preferences are imported whenever the import's flag is missing, which
    // it now is: left in place, they would undo this reset at the next launch.
    const Removal removal = co_await removeReported(priorPreferences, report);
    if (removalFailed(removal)) {
        // Then at least the import must not run again.
        defaults.setObject(ConfigStore::Keys::kBundleMigrationCompleted, true);
    }
}

QCoro::Task<void> HelperUninstaller::clearKeychainPairingTokens(ResetReport &report)
{
    struct Outcome {
        int count = 0;
        int found = Keychain::kTimedOut;
        int removed = Keychain::kTimedOut;
    };
    auto outcome = std::make_shared<Outcome>();
    const QString service = kPairingTokenService;
    // Through the keychain's own thread: a keyring that does not answer holds neither the window
    // nor the API.
    std::function<void(Keychain &)> operation = [outcome, service](Keychain &keychain) {
        outcome->found = keychain.count(service, &outcome->count);
        if (outcome->found == Keychain::kSuccess || outcome->found == Keychain::kItemNotFound) {
            outcome->removed = keychain.removeAll(service);
        }
    };
    const bool ended = co_await m_with.keychain.run(std::move(operation));
    if (!ended) {
        outcome->found = Keychain::kTimedOut;
    }
    int count = outcome->count;
    const int found = outcome->found;
    if (found == Keychain::kItemNotFound) {
        count = 0;
    } else if (found != Keychain::kSuccess) {
        report.errors << QStringLiteral("Could not list the pairing tokens: ") + Keychain::describe(found);
        uninstallerLogger().error(QStringLiteral("Listing the pairing tokens failed: %1").arg(found));
        co_return;
    }
    const int removed = outcome->removed;
    if (removed != Keychain::kSuccess && removed != Keychain::kItemNotFound) {
        report.errors << QStringLiteral("Could not delete the pairing tokens: ") + Keychain::describe(removed);
        uninstallerLogger().error(QStringLiteral("Deleting the pairing tokens failed: %1").arg(removed));
        co_return;
    }
    report.keychainItemsRemoved = count;
    if (!m_with.keychain.awaitsKeyring()) {
        uninstallerLogger().info(QStringLiteral("Removed %1 keychain pairing token(s)").arg(count));
        co_return;
    }
    // Only the file that stands in for the keyring was reached. What the keyring holds names no
    // paired client any more, so the first launch at which it answers removes it.
    uninstallerLogger().info(QStringLiteral("Removed %1 pairing token(s) from the file that stands in for the keyring").arg(count));
    report.errors << kKeyringTokensKept;
    uninstallerLogger().error(kKeyringTokensKept);
}

void HelperUninstaller::unregisterLoginItem(ResetReport &report)
{
    LoginItem &item = m_with.loginItem;
    if (item.status() != LoginItem::Status::enabled) {
        return;
    }
    if (const std::optional<QString> failure = item.unregisterItem()) {
        report.errors << QStringLiteral("Could not unregister login item: ") + *failure;
        uninstallerLogger().error(QStringLiteral("SMAppService.unregister failed: %1").arg(*failure));
        return;
    }
    report.loginItemUnregistered = true;
    uninstallerLogger().info(QStringLiteral("Unregistered login item"));
}

void HelperUninstaller::reloadMemoryState()
{
    // Without this the helper would go on serving the old clients and write the old settings
    // back with the next change of any of them. The reload imports nothing.
    m_with.config.reloadFromDefaults();
    m_with.experimental.reload();
    if (m_with.forgetPairedClients) {
        m_with.forgetPairedClients();
    }
}

QCoro::Task<bool> HelperUninstaller::removeWinePrefix(ResetReport &report)
{
    const QString prefix = places::winePrefix();
    // The records go as the prefix is set aside, so that a reset cut short leaves none of a modem
    // whose files are going.
    ConfigStore &config = m_with.config;
    const VARAConfig hfBefore = config.varaConfig();
    const VARAFMConfig fmBefore = config.varaFMConfig();
    const std::function<void()> forget = [&config] { config.clearVaraInstallRecords(); };
    const RemovalResult removal = co_await removingTree(prefix, forget);
    if (removal.putBack) {
        // Nothing went: both modems are where their records said.
        config.setVaraConfig(hfBefore);
        config.setVaraFMConfig(fmBefore);
    }
    switch (removal.outcome) {
    case Removal::absent:
        break;
    case Removal::removed:
        report.removedPaths << prefix;
        uninstallerLogger().info(QStringLiteral("Removed Wine prefix at %1").arg(prefix));
        break;
    case Removal::partly:
    case Removal::failed:
        report.errors << removalFailureText(removal.outcome, QStringLiteral("Could not remove wine-prefix"),
                                            removal.description);
        uninstallerLogger().error(QStringLiteral("Failed to remove Wine prefix: %1").arg(removal.description));
        co_return false;
    }
    co_return true;
}

QCoro::Task<void> HelperUninstaller::removeFilesystemPaths(ResetReport &report)
{
    // Everything in the scratch folders of the user's own is the helper's: the winetricks tools,
    // the downloads and their unpacked folders. A folder of that name that is not the user's holds
    // nothing of the helper's and is left alone.
    const QStringList paths = removedByEverything();
    // Counted outside a loop header, which g++ 12 loses across an await.
    qsizetype next = 0;
    while (next < paths.size()) {
        co_await removeReported(paths[next++], report);
    }
}

} // namespace cordavelle
