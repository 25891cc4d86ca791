#pragma once

#include "base/app_appearance_mode.h"
#include "base/service_config.h"
#include "platform/app_activation.h"
#include "platform/login_item.h"
#include "platform/user_defaults.h"

#include <QObject>
#include <QString>

#include <optional>

namespace cordavelle {

class Platform;
class SystemInfo;

// The one store of every persistent setting. It loads the user defaults once, migrates older
// stored data, and writes a setting back the moment it is assigned, even when the value did not
// change; the `…Changed` signals come only with a real change, after the value is stored.
// Main thread only.
class ConfigStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(cordavelle::VARAConfig varaConfig READ varaConfig WRITE setVaraConfig NOTIFY varaConfigChanged)
    Q_PROPERTY(cordavelle::VARAFMConfig varaFMConfig READ varaFMConfig WRITE setVaraFMConfig NOTIFY varaFMConfigChanged)
    Q_PROPERTY(cordavelle::RigctldConfig rigctldConfig READ rigctldConfig WRITE setRigctldConfig NOTIFY rigctldConfigChanged)
    Q_PROPERTY(cordavelle::DirewolfConfig direwolfConfig READ direwolfConfig WRITE setDirewolfConfig
                   NOTIFY direwolfConfigChanged)
    Q_PROPERTY(int apiPort READ apiPort WRITE setApiPort NOTIFY apiPortChanged)
    Q_PROPERTY(bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)
    Q_PROPERTY(QString stationCallsign READ stationCallsign WRITE setStationCallsign NOTIFY stationCallsignChanged)
    Q_PROPERTY(QString serviceName READ serviceName WRITE setServiceName NOTIFY serviceNameChanged)
    Q_PROPERTY(int idleShutdownDelay READ idleShutdownDelay WRITE setIdleShutdownDelay NOTIFY idleShutdownDelayChanged)
    Q_PROPERTY(bool allowNetworkAccess READ allowNetworkAccess WRITE setAllowNetworkAccess
                   NOTIFY allowNetworkAccessChanged)
    Q_PROPERTY(bool requirePairing READ requirePairing WRITE setRequirePairing NOTIFY requirePairingChanged)
    Q_PROPERTY(cordavelle::AppAppearanceMode appearanceMode READ appearanceMode WRITE setAppearanceMode
                   NOTIFY appearanceModeChanged)
public:
    // The user-defaults keys.
    struct Keys {
        static inline const QString kConfigSchemaVersion = QStringLiteral("configSchemaVersion");
        static inline const QString kApiPort = QStringLiteral("apiPort");
        static inline const QString kLaunchAtLogin = QStringLiteral("launchAtLogin");
        static inline const QString kStationCallsign = QStringLiteral("stationCallsign");
        static inline const QString kServiceName = QStringLiteral("serviceName");
        static inline const QString kIdleShutdownDelay = QStringLiteral("idleShutdownDelay");
        static inline const QString kAllowNetworkAccess = QStringLiteral("allowNetworkAccess");
        static inline const QString kRequirePairing = QStringLiteral("requirePairing");
        static inline const QString kVaraConfig = QStringLiteral("varaConfig");
        static inline const QString kVaraFMConfig = QStringLiteral("varaFMConfig");
        static inline const QString kRigctldConfig = QStringLiteral("rigctldConfig");
        static inline const QString kDirewolfConfig = QStringLiteral("direwolfConfig");
        static inline const QString kAppearanceMode = QStringLiteral("appearanceMode");
        static inline const QString kBundleMigrationCompleted = QStringLiteral("bundleMigrationCompleted_v1");
        // Set by the first-run wizard's Done; the launch and the API's status read it.
        static inline const QString kHasCompletedHelperSetup = QStringLiteral("hasCompletedHelperSetup");
    };

    static constexpr int kCurrentSchemaVersion = 3;
    static constexpr int kDefaultApiPort = 8380;
    static constexpr int kDefaultIdleShutdownDelay = 5;
    // The bundle identifier of earlier builds, whose preferences are copied over once.
    static inline const QString kPriorBundleIdentifier = QStringLiteral("com.kelvo.cordavelle-helper");
    static inline const QString kFallbackServiceName = QStringLiteral("Cordavelle Helper");

    // Loads from `defaults`. From `platform` come the machine's name (the default service name)
    // and the earlier builds' preferences file, and, unless given, the login item and the
    // activation policy.
    ConfigStore(UserDefaults &defaults, Platform &platform, QObject *parent = nullptr);
    ConfigStore(UserDefaults &defaults, Platform &platform, LoginItem &loginItem, AppActivation &activation,
                QObject *parent = nullptr);

    // The instance on the application's standard defaults, made on first use and never released.
    static ConfigStore &shared();

    // "configSchemaVersion" as found at start-up, before any migration (1 when absent).
    int loadedSchemaVersion() const { return m_loadedSchemaVersion; }

    VARAConfig varaConfig() const { return m_varaConfig; }
    // Each setter that returns a text returns why the value could not be saved; the setting
    // then keeps its old value, and no change is signalled.
    std::optional<QString> setVaraConfig(const VARAConfig &config);
    VARAFMConfig varaFMConfig() const { return m_varaFMConfig; }
    std::optional<QString> setVaraFMConfig(const VARAFMConfig &config);
    // Forgets where both modems were installed and which versions (their shared prefix is gone).
    void clearVaraInstallRecords();
    RigctldConfig rigctldConfig() const { return m_rigctldConfig; }
    std::optional<QString> setRigctldConfig(const RigctldConfig &config);
    DirewolfConfig direwolfConfig() const { return m_direwolfConfig; }
    std::optional<QString> setDirewolfConfig(const DirewolfConfig &config);

    // The four records by type, for code that handles every service alike.
    std::optional<QString> setConfig(const VARAConfig &config) { return setVaraConfig(config); }
    std::optional<QString> setConfig(const VARAFMConfig &config) { return setVaraFMConfig(config); }
    std::optional<QString> setConfig(const RigctldConfig &config) { return setRigctldConfig(config); }
    std::optional<QString> setConfig(const DirewolfConfig &config) { return setDirewolfConfig(config); }
    // Calls `visit` with the service's record (VARAConfig, VARAFMConfig, RigctldConfig or
    // DirewolfConfig) and returns what it returns.
    template <class Visitor>
    decltype(auto) visitConfig(ServiceID id, Visitor &&visit) const;
    // Lets `change` edit a copy of the service's record, then assigns the copy.
    template <class Change>
    void updateConfig(ServiceID id, Change &&change);

    ServiceLifecycleMode lifecycleMode(ServiceID id) const;
    void setLifecycleMode(ServiceID id, ServiceLifecycleMode mode);

    // Any integer stored is read as it is; the HTTP server decides what to do with one that is no
    // TCP port. Assigning refuses a port the helper could not listen on (apiPortProblem).
    int apiPort() const { return m_apiPort; }
    std::optional<QString> setApiPort(int port);
    // Why `port` can't be the API port, or nothing: it must be a TCP port (1 to 65535) that this
    // user may listen on (not one the kernel keeps for privileged processes).
    std::optional<QString> apiPortProblem(qint64 port) const;
    // Starts as the login item's real status; assigning registers or unregisters the item.
    bool launchAtLogin() const { return m_launchAtLogin; }
    void setLaunchAtLogin(bool enabled);
    // The user's switch: like setLaunchAtLogin, but when the login item refuses, the setting goes
    // back to the item's real status and the refusal's text is returned.
    std::optional<QString> changeLaunchAtLogin(bool enabled);
    // Kept exactly as assigned (the API upper-cases it first).
    QString stationCallsign() const { return m_stationCallsign; }
    std::optional<QString> setStationCallsign(const QString &callsign);
    QString serviceName() const { return m_serviceName; }
    std::optional<QString> setServiceName(const QString &name);
    // Minutes; 0 stops at once, -1 never.
    int idleShutdownDelay() const { return m_idleShutdownDelay; }
    std::optional<QString> setIdleShutdownDelay(int minutes);
    bool allowNetworkAccess() const { return m_allowNetworkAccess; }
    std::optional<QString> setAllowNetworkAccess(bool allow);
    bool requirePairing() const { return m_requirePairing; }
    std::optional<QString> setRequirePairing(bool require);
    // Assigning applies the activation policy at once, even for the same mode.
    AppAppearanceMode appearanceMode() const { return m_appearanceMode; }
    std::optional<QString> setAppearanceMode(AppAppearanceMode mode);

    // Reads every setting again from the defaults as they are now (after a reset cleared them),
    // without importing older preferences and without writing anything; a change signal comes
    // for each value that differs from the one held before.
    void reloadFromDefaults();

    // Regular (with a window presence) when the mode shows in the Dock, else accessory.
    void applyAppearanceMode();

    // The address rigctld listens on: "127.0.0.1", or with network access "::" (both families)
    // where this machine lets one socket take both, else "0.0.0.0".
    QString bindAddress() const;
    // The earlier builds' preferences file, whether or not it exists.
    const QString &priorPreferencesFile() const { return m_priorPreferencesFile; }

Q_SIGNALS:
    void varaConfigChanged(const cordavelle::VARAConfig &config);
    void varaFMConfigChanged(const cordavelle::VARAFMConfig &config);
    void rigctldConfigChanged(const cordavelle::RigctldConfig &config);
    void direwolfConfigChanged(const cordavelle::DirewolfConfig &config);
    void apiPortChanged(int port);
    void launchAtLoginChanged(bool enabled);
    void stationCallsignChanged(const QString &callsign);
    void serviceNameChanged(const QString &name);
    void idleShutdownDelayChanged(int minutes);
    void allowNetworkAccessChanged(bool allow);
    void requirePairingChanged(bool require);
    void appearanceModeChanged(cordavelle::AppAppearanceMode mode);

private:
    static void migrateFromPriorBundleIfNeeded(UserDefaults &defaults, const QString &priorPreferencesFile);
    void migrateSchemaIfNeeded();
    // Assigns every member from the defaults: nothing is written, nothing is signalled.
    void loadFromDefaults();
    template <class Record>
    std::optional<Record> load(const QString &key) const;
    // Writes a setting to the defaults: numbers as integers, the appearance mode as its raw
    // value, records as JSON data.
    // Each returns why the value could not be written, or nothing.
    std::optional<QString> save(int value, const QString &key);
    std::optional<QString> save(bool value, const QString &key);
    std::optional<QString> save(const QString &value, const QString &key);
    std::optional<QString> save(AppAppearanceMode value, const QString &key);
    template <class Record>
    std::optional<QString> save(const Record &record, const QString &key);
    // Every setter: assigns, writes (`persist`, or `key`) even when nothing changed, and signals
    // only a change. A write that fails puts the old value back and is returned.
    template <class T, class Persist, class Arg>
    std::optional<QString> assign(T &field, const T &value, Persist &&persist, void (ConfigStore::*notify)(Arg));
    template <class T, class Arg>
    std::optional<QString> assign(T &field, const T &value, const QString &key, void (ConfigStore::*notify)(Arg));
    void applyLaunchAtLogin();
    std::optional<QString> m_loginItemFailure;

    UserDefaults &m_defaults;
    LoginItem &m_loginItem;
    AppActivation &m_activation;
    const SystemInfo &m_systemInfo;
    const QString m_priorPreferencesFile;

    int m_loadedSchemaVersion = 1;
    VARAConfig m_varaConfig;
    VARAFMConfig m_varaFMConfig;
    RigctldConfig m_rigctldConfig;
    DirewolfConfig m_direwolfConfig;
    int m_apiPort = kDefaultApiPort;
    bool m_launchAtLogin = false;
    QString m_stationCallsign;
    QString m_serviceName;
    int m_idleShutdownDelay = kDefaultIdleShutdownDelay;
    bool m_allowNetworkAccess = false;
    bool m_requirePairing = true;
    AppAppearanceMode m_appearanceMode = AppAppearanceMode::dock;
};

template <class Visitor>
decltype(auto) ConfigStore::visitConfig(ServiceID id, Visitor &&visit) const
{
    switch (id) {
    case ServiceID::varaHF: return visit(m_varaConfig);
    case ServiceID::varaFM: return visit(m_varaFMConfig);
    case ServiceID::rigctld: return visit(m_rigctldConfig);
    case ServiceID::direwolf: break;
    }
    return visit(m_direwolfConfig);
}

template <class Change>
void ConfigStore::updateConfig(ServiceID id, Change &&change)
{
    visitConfig(id, [this, &change](const auto &current) {
        auto record = current;
        change(record);
        this->setConfig(record);
    });
}

} // namespace cordavelle
