#pragma once

#include "accounts.h"
#include "app_activation.h"
#include "audio_system.h"
#include "attention.h"
#include "bonjour.h"
#include "clock.h"
#include "keychain.h"
#include "command_runner.h"
#include "http_client.h"
#include "log_sink.h"
#include "network_interfaces.h"
#include "login_item.h"
#include "notifications.h"
#include "paths.h"
#include "peer_owner.h"
#include "remote_services.h"
#include "system_info.h"
#include "terminal.h"
#include "tool_locator.h"
#include "user_defaults.h"
#include "wine_drivers.h"

#include <QString>

#include <map>
#include <memory>

namespace cordavelle {

// The application identifier: user-defaults domain and log subsystem.
inline const QString kApplicationIdentifier = QStringLiteral("com.cordavelle.helper");

// The process-wide context through which the system reaches the platform: clock, folders,
// machine facts, the log, command-line tools and the user defaults. Production code asks
// `Platform::current()`; tests install a context of their own (see `Platform::Scope`) before
// anything reads it, and nothing caches what it returns across that switch.
class Platform {
public:
    Platform();
    ~Platform();
    Platform(const Platform &) = delete;
    Platform &operator=(const Platform &) = delete;

    // The context in force; the Linux backends unless a test installed its own.
    static Platform &current();

    // Installs `context` for the lifetime of the scope, then restores the previous one.
    class Scope {
    public:
        explicit Scope(std::unique_ptr<Platform> context);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;
        Platform &context() { return *m_context; }

    private:
        std::unique_ptr<Platform> m_context;
        Platform *m_previous;
    };

    Clock &clock() { return *m_clock; }
    Paths &paths() { return *m_paths; }
    SystemInfo &systemInfo() { return *m_systemInfo; }
    LogSink &logSink() { return *m_logSink; }
    // The helper's login item; by default an XDG autostart entry beside the preferences folder,
    // made on first use so that it follows the paths in force then.
    LoginItem &loginItem();
    AppActivation &appActivation() { return *m_appActivation; }
    AudioSystem &audioSystem();
    Terminal &terminal();
    ToolLocator &toolLocator() { return *m_toolLocator; }
    // The Secret Service, or a private file in the support folder when none answers.
    Keychain &keychain();
    Attention &attention() { return *m_attention; }
    // The desktop's notification service, connected on first use.
    Notifications &notifications();
    // DNS-SD advertising and browsing; the Avahi backend is made on first use.
    Bonjour &bonjour();
    // Command-line tools and signals to other processes.
    CommandRunner &commandRunner() { return *m_commandRunner; }
    WineDrivers &wineDrivers() { return *m_wineDrivers; }
    // The user and group databases.
    Accounts &accounts() { return *m_accounts; }
    // HTTP(S) for the installers, made on first use with the clock in force then.
    HttpClient &httpClient();
    // Who holds the far end of a connection to the API.
    PeerOwners &peerOwners();
    // This machine's interface addresses, for telling which peers share a link with it.
    NetworkInterfaces &networkInterfaces();
    // Where the remote services are: CORDAVELLE_HELPER_REMOTE_BASE when set, else the internet.
    const RemoteServices &remoteServices() const { return m_remoteServices; }

    // The defaults of a domain, made on first use from the domain's property list in
    // `paths().preferences()`.
    UserDefaults &defaults(const QString &domain);
    // The application's own domain.
    UserDefaults &standardDefaults() { return defaults(kApplicationIdentifier); }
    // The property-list file that holds a domain's preferences.
    QString preferencesFile(const QString &domain);
    // What the helper keeps is for this user alone: the preferences folder and every file in it,
    // the support folder (and with it everything inside) and the keychain file lose any access
    // of the group and others. Folders that are missing are made so. Returns the paths that
    // could not be restricted.
    QStringList keepStoredFilesPrivate();
    // The file store of the keychain where no Secret Service answers.
    QString keychainFile() const;

    void setClock(std::shared_ptr<Clock> clock) { m_clock = std::move(clock); }
    void setPaths(std::shared_ptr<Paths> paths) { m_paths = std::move(paths); }
    void setSystemInfo(std::shared_ptr<SystemInfo> info) { m_systemInfo = std::move(info); }
    void setLogSink(std::shared_ptr<LogSink> sink) { m_logSink = std::move(sink); }
    void setLoginItem(std::shared_ptr<LoginItem> item) { m_loginItem = std::move(item); }
    void setAudioSystem(std::shared_ptr<AudioSystem> audio) { m_audioSystem = std::move(audio); }
    void setTerminal(std::shared_ptr<Terminal> terminal) { m_terminal = std::move(terminal); }
    void setToolLocator(std::shared_ptr<ToolLocator> locator) { m_toolLocator = std::move(locator); }
    void setKeychain(std::shared_ptr<Keychain> keychain) { m_keychain = std::move(keychain); }
    void setAttention(std::shared_ptr<Attention> attention) { m_attention = std::move(attention); }
    void setNotifications(std::shared_ptr<Notifications> notifications) { m_notifications = std::move(notifications); }
    void setBonjour(std::shared_ptr<Bonjour> bonjour) { m_bonjour = std::move(bonjour); }
    void setCommandRunner(std::shared_ptr<CommandRunner> runner) { m_commandRunner = std::move(runner); }
    void setWineDrivers(std::shared_ptr<WineDrivers> drivers) { m_wineDrivers = std::move(drivers); }
    void setAccounts(std::shared_ptr<Accounts> accounts) { m_accounts = std::move(accounts); }
    void setNetworkInterfaces(std::shared_ptr<NetworkInterfaces> interfaces) { m_networkInterfaces = std::move(interfaces); }
    void setRemoteServices(RemoteServices services) { m_remoteServices = std::move(services); }

private:
    std::shared_ptr<Clock> m_clock;
    std::shared_ptr<Paths> m_paths;
    std::shared_ptr<SystemInfo> m_systemInfo;
    std::shared_ptr<LogSink> m_logSink;
    std::shared_ptr<LoginItem> m_loginItem;
    std::shared_ptr<AppActivation> m_appActivation;
    std::shared_ptr<AudioSystem> m_audioSystem;
    std::shared_ptr<Terminal> m_terminal;
    std::shared_ptr<ToolLocator> m_toolLocator;
    std::shared_ptr<Keychain> m_keychain;
    std::shared_ptr<Attention> m_attention;
    std::shared_ptr<Notifications> m_notifications;
    std::shared_ptr<Bonjour> m_bonjour;
    std::shared_ptr<CommandRunner> m_commandRunner;
    std::shared_ptr<WineDrivers> m_wineDrivers;
    std::shared_ptr<Accounts> m_accounts;
    std::shared_ptr<HttpClient> m_httpClient;
    std::shared_ptr<PeerOwners> m_peerOwners;
    std::shared_ptr<NetworkInterfaces> m_networkInterfaces;
    RemoteServices m_remoteServices;
    std::map<QString, std::unique_ptr<UserDefaults>> m_domains;
};

} // namespace cordavelle
