#pragma once

#include "install/installer.h"

#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <vector>

namespace cordavelle {

class Clock;
class CommandRunner;
class ConfigStore;
class ExperimentalFeatureManager;
class HamlibInstaller;
class Keychain;
class LoginItem;
class ServiceControl;
class UserDefaults;
class VARAInstaller;
class WineInstaller;
class WinePrefixHold;
class WinePrefixManager;

// What one reset level did and what went wrong.
struct ResetReport {
    // Every path the level removed, in the order of removal.
    QStringList removedPaths;
    bool userDefaultsCleared = false;
    // Pairing tokens found just before they were deleted.
    int keychainItemsRemoved = 0;
    // The launch-at-login registration was removed by this run.
    bool loginItemUnregistered = false;
    // User-facing texts of the failures, in the order they happened.
    QStringList errors;
    // After the prefix level: the Wine prefix, or part of it, is still there.
    bool prefixKept = false;

    bool operator==(const ResetReport &) const = default;
};

// The three reset levels. Each runs every step even when some fail, and reports instead of
// throwing. The running helper follows what a level removed: the settings in memory are read
// again from the emptied defaults, the paired clients are forgotten, and services are stopped
// through the orchestrator before their files go, so that nothing is restarted into a deleted
// prefix or written back afterwards.
class HelperUninstaller {
public:
    // An installer that a level ends, and waits for, before it removes what the installer works on.
    struct EndedInstaller {
        // "the VARA HF install", as the report names it when it does not end.
        QString name;
        Installer *installer = nullptr;
        // Works in the Wine prefix, so that the prefix level ends it too; the full uninstall ends
        // every installer.
        bool inPrefix = true;

        bool running() const { return installer->progress().busy; }
    };
    static EndedInstaller installer(WineInstaller &wine);
    static EndedInstaller installer(WinePrefixManager &prefix);
    static EndedInstaller installer(VARAInstaller &vara);
    static EndedInstaller installer(HamlibInstaller &hamlib);

    // How long a level waits for the installers it ended, and for the prefix's hold.
    static constexpr std::chrono::seconds kInstallerWait{30};

    struct Collaborators {
        ConfigStore &config;
        ExperimentalFeatureManager &experimental;
        ServiceControl &services;
        // The store's own defaults domain.
        UserDefaults &defaults;
        // Where the pairing tokens are kept.
        Keychain &keychain;
        LoginItem &loginItem;
        // Runs the Wine server's kill.
        CommandRunner &runner;
        // Drops the pairing manager's clients and token index from memory.
        std::function<void()> forgetPairedClients;
        // Taken before anything in the prefix or the support folder goes.
        WinePrefixHold &prefixHold;
        Clock &clock;
        std::vector<EndedInstaller> installers;
    };

    // What a reset says while the file stands in for a keyring that does not answer.
    static inline const QString kKeyringTokensKept =
        QStringLiteral("The pairing tokens in the desktop's keyring could not be removed: it is not answering");
    // The keychain item service of the pairing tokens.
    static inline const QString kPairingTokenService = QStringLiteral("com.cordavelle-helper.pairing-token");

    explicit HelperUninstaller(Collaborators collaborators);

    // Settings, pairing tokens and the login item; every installed tool stays.
    QCoro::Task<ResetReport> resetSettings();
    // The Wine prefix with both VARA installs, and the VARA install records.
    QCoro::Task<ResetReport> resetWinePrefix();
    // Everything of the settings level, the support folder and the staged winetricks tools.
    QCoro::Task<ResetReport> resetEverything();

    // Empties `defaults` and takes the earlier bundle's preferences (`priorPreferences`) with it,
    // so that they are not imported again at the next launch; shared with the window's reset of
    // everything.
    static QCoro::Task<void> clearUserDefaults(UserDefaults &defaults, QString priorPreferences, ResetReport &report);

private:
    QCoro::Task<void> stopServices(bool everyService);
    // Ends the running installers (all of them, or those in the prefix), waits for them and takes
    // the prefix's hold, for at most kInstallerWait; false, with the reasons in `report`, when
    // that did not happen and `kept` must stay.
    QCoro::Task<bool> endInstallersAndHold(bool everything, QString kept, ResetReport &report);
    QCoro::Task<void> killWineProcessesForPrefix(ResetReport &report);
    // What the settings level removes; the full uninstall does the same on its way.
    QCoro::Task<void> clearSettings(ResetReport &report);
    QCoro::Task<void> clearKeychainPairingTokens(ResetReport &report);
    void unregisterLoginItem(ResetReport &report);
    void reloadMemoryState();
    // False when the prefix, or part of it, is still there.
    QCoro::Task<bool> removeWinePrefix(ResetReport &report);
    QCoro::Task<void> removeFilesystemPaths(ResetReport &report);
    // Tells the views of every installer that files of theirs may be gone.
    void announceRemovals();

    Collaborators m_with;
};

} // namespace cordavelle
