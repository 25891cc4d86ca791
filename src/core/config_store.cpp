#include "config_store.h"

#include "base/helper_logger.h"
#include "base/tcp_port.h"
#include "core/service_addresses.h"
#include "platform/platform.h"
#include "platform/port_hold.h"

#include <functional>
#include <utility>
#include <vector>

namespace cordavelle {

namespace {

constexpr int kLegacyJrcRigModel = 6005;
constexpr int kFlexSliceARigModel = 23005;

using Category = HelperLogger::Category;

// The number reading, narrowed to what the store holds; a value beyond that is no usable number.
int readInteger(const UserDefaults &defaults, const QString &key, int fallback)
{
    const std::optional<qint64> value = defaults.integerForKey(key);
    if (!value || !std::in_range<int>(*value)) {
        return fallback;
    }
    return static_cast<int>(*value);
}

} // namespace

ConfigStore::ConfigStore(UserDefaults &defaults, Platform &platform, QObject *parent)
    : ConfigStore(defaults, platform, platform.loginItem(), platform.appActivation(), parent)
{
}

ConfigStore::ConfigStore(UserDefaults &defaults, Platform &platform, LoginItem &loginItem, AppActivation &activation,
                         QObject *parent)
    : QObject(parent),
      m_defaults(defaults),
      m_loginItem(loginItem),
      m_activation(activation),
      m_systemInfo(platform.systemInfo()),
      m_priorPreferencesFile(platform.preferencesFile(kPriorBundleIdentifier))
{
    // Loading assigns the members directly: nothing is written, no login item is touched and
    // no activation policy is set for the values found.
    migrateFromPriorBundleIfNeeded(m_defaults, m_priorPreferencesFile);

    m_loadedSchemaVersion = readInteger(m_defaults, Keys::kConfigSchemaVersion, 1);
    loadFromDefaults();
    migrateSchemaIfNeeded();
}

void ConfigStore::loadFromDefaults()
{
    m_apiPort = readInteger(m_defaults, Keys::kApiPort, kDefaultApiPort);
    // The stored flag is never read: the login item itself says whether it is on.
    m_launchAtLogin = m_loginItem.status() == LoginItem::Status::enabled;
    m_stationCallsign = m_defaults.stringForKey(Keys::kStationCallsign).value_or(QString());
    if (const auto name = m_defaults.stringForKey(Keys::kServiceName)) {
        m_serviceName = *name; // an empty stored name stays empty
    } else {
        const QString host = m_systemInfo.hostName();
        m_serviceName = host.isEmpty() ? kFallbackServiceName : host;
    }
    m_idleShutdownDelay = readInteger(m_defaults, Keys::kIdleShutdownDelay, kDefaultIdleShutdownDelay);
    m_allowNetworkAccess = m_defaults.boolForKey(Keys::kAllowNetworkAccess);
    m_requirePairing = m_defaults.boolObjectForKey(Keys::kRequirePairing).value_or(true);

    m_varaConfig = load<VARAConfig>(Keys::kVaraConfig).value_or(VARAConfig{});
    m_varaFMConfig = load<VARAFMConfig>(Keys::kVaraFMConfig).value_or(VARAFMConfig{});
    m_rigctldConfig = load<RigctldConfig>(Keys::kRigctldConfig).value_or(RigctldConfig{});
    m_direwolfConfig = load<DirewolfConfig>(Keys::kDirewolfConfig).value_or(DirewolfConfig{});

    const QString mode = m_defaults.stringForKey(Keys::kAppearanceMode).value_or(QStringLiteral("dock"));
    m_appearanceMode = fromRaw<AppAppearanceMode>(mode).value_or(AppAppearanceMode::dock);

}

void ConfigStore::reloadFromDefaults()
{
    // Observers learn of every value that the reload changed, as if it had been assigned.
    std::vector<std::function<void()>> notifyChanges;
    const auto watch = [this, &notifyChanges](auto member, auto signal) {
        notifyChanges.push_back([this, member, signal, before = this->*member] {
            if (!(before == this->*member)) {
                Q_EMIT (this->*signal)(this->*member);
            }
        });
    };
    watch(&ConfigStore::m_varaConfig, &ConfigStore::varaConfigChanged);
    watch(&ConfigStore::m_varaFMConfig, &ConfigStore::varaFMConfigChanged);
    watch(&ConfigStore::m_rigctldConfig, &ConfigStore::rigctldConfigChanged);
    watch(&ConfigStore::m_direwolfConfig, &ConfigStore::direwolfConfigChanged);
    watch(&ConfigStore::m_apiPort, &ConfigStore::apiPortChanged);
    watch(&ConfigStore::m_launchAtLogin, &ConfigStore::launchAtLoginChanged);
    watch(&ConfigStore::m_stationCallsign, &ConfigStore::stationCallsignChanged);
    watch(&ConfigStore::m_serviceName, &ConfigStore::serviceNameChanged);
    watch(&ConfigStore::m_idleShutdownDelay, &ConfigStore::idleShutdownDelayChanged);
    watch(&ConfigStore::m_allowNetworkAccess, &ConfigStore::allowNetworkAccessChanged);
    watch(&ConfigStore::m_requirePairing, &ConfigStore::requirePairingChanged);
    watch(&ConfigStore::m_appearanceMode, &ConfigStore::appearanceModeChanged);
    const AppAppearanceMode mode = m_appearanceMode;

    loadFromDefaults();

    for (const auto &notify : notifyChanges) {
        notify();
    }
    if (mode != m_appearanceMode) {
        applyAppearanceMode();
    }
}

ConfigStore &ConfigStore::shared()
{
    // Never destroyed: views and the orchestrator may reach it until the process ends.
    static auto *instance = new ConfigStore(Platform::current().standardDefaults(), Platform::current());
    return *instance;
}

void ConfigStore::migrateFromPriorBundleIfNeeded(UserDefaults &defaults, const QString &priorPreferencesFile)
{
    if (defaults.boolForKey(Keys::kBundleMigrationCompleted)) {
        return;
    }
    const auto markDone = [&defaults] { defaults.setObject(Keys::kBundleMigrationCompleted, true); };

    // Settings already saved under the current identifier win over anything older.
    for (const QString &key : {Keys::kVaraConfig, Keys::kVaraFMConfig, Keys::kRigctldConfig, Keys::kDirewolfConfig}) {
        if (defaults.dataForKey(key)) {
            markDone();
            return;
        }
    }

    const std::optional<QVariantMap> prior =
        readPropertyListFile(priorPreferencesFile);
    if (!prior) {
        markDone();
        return;
    }
    HelperLogger::info(QStringLiteral("[ConfigStore] Migrating %1 preference keys from %2")
                           .arg(QString::number(prior->size()), kPriorBundleIdentifier),
                       Category::services);
    for (auto it = prior->cbegin(); it != prior->cend(); ++it) {
        defaults.setObject(it.key(), it.value());
    }
    markDone();
}

void ConfigStore::migrateSchemaIfNeeded()
{
    if (m_loadedSchemaVersion > 2) {
        return;
    }
    HelperLogger::info(QStringLiteral("[ConfigStore] Migrating config schema %1 \u2192 %2")
                           .arg(m_loadedSchemaVersion)
                           .arg(kCurrentSchemaVersion),
                       Category::services);
    if (m_rigctldConfig.rigModel == kLegacyJrcRigModel) {
        HelperLogger::info(
            QStringLiteral("[ConfigStore] Migrating rigctld.rigModel 6005 (JRC) \u2192 23005 (Flex SmartSDR slice A)"),
            Category::services);
        RigctldConfig migrated = m_rigctldConfig;
        migrated.rigModel = kFlexSliceARigModel;
        setRigctldConfig(migrated);
        save(m_rigctldConfig, Keys::kRigctldConfig);
    }
    m_defaults.setObject(Keys::kConfigSchemaVersion, qlonglong(kCurrentSchemaVersion));
}

template <class Record>
std::optional<Record> ConfigStore::load(const QString &key) const
{
    const std::optional<QByteArray> data = m_defaults.dataForKey(key);
    if (!data) {
        return std::nullopt;
    }
    try {
        return decodeJson<Record>(*data);
    } catch (const std::exception &e) {
        // The stored data stays as it is until the setting is next assigned.
        HelperLogger::error(QStringLiteral("[ConfigStore] Failed to decode '%1': %2").arg(key, QString::fromUtf8(e.what())),
                            Category::services);
        return std::nullopt;
    }
}

std::optional<QString> ConfigStore::save(int value, const QString &key)
{
    return m_defaults.setObject(key, qlonglong(value));
}

std::optional<QString> ConfigStore::save(bool value, const QString &key) { return m_defaults.setObject(key, value); }

std::optional<QString> ConfigStore::save(const QString &value, const QString &key)
{
    return m_defaults.setObject(key, value);
}

std::optional<QString> ConfigStore::save(AppAppearanceMode value, const QString &key)
{
    return m_defaults.setObject(key, toRaw(value));
}

template <class Record>
std::optional<QString> ConfigStore::save(const Record &record, const QString &key)
{
    QByteArray data;
    try {
        data = encodeJson(record);
    } catch (const std::exception &e) {
        HelperLogger::error(QStringLiteral("[ConfigStore] Failed to encode '%1': %2").arg(key, QString::fromUtf8(e.what())),
                            Category::services);
        return QString::fromUtf8(e.what());
    }
    return m_defaults.setObject(key, data);
}

template <class T, class Persist, class Arg>
std::optional<QString> ConfigStore::assign(T &field, const T &value, Persist &&persist, void (ConfigStore::*notify)(Arg))
{
    const bool changed = !(value == field);
    T previous = std::exchange(field, value);
    if (std::optional<QString> failure = persist()) {
        // The stored value stays the one in effect, so that a restart brings back what was shown.
        field = std::move(previous);
        HelperLogger::error(QStringLiteral("[ConfigStore] Could not save a setting: %1").arg(*failure),
                            Category::services);
        return failure;
    }
    if (changed) {
        Q_EMIT (this->*notify)(field);
    }
    return std::nullopt;
}

template <class T, class Arg>
std::optional<QString> ConfigStore::assign(T &field, const T &value, const QString &key,
                                           void (ConfigStore::*notify)(Arg))
{
    return assign(field, value, [this, &field, &key] { return save(field, key); }, notify);
}

std::optional<QString> ConfigStore::setVaraConfig(const VARAConfig &config)
{
    return assign(m_varaConfig, config, Keys::kVaraConfig, &ConfigStore::varaConfigChanged);
}

std::optional<QString> ConfigStore::setVaraFMConfig(const VARAFMConfig &config)
{
    return assign(m_varaFMConfig, config, Keys::kVaraFMConfig, &ConfigStore::varaFMConfigChanged);
}

void ConfigStore::clearVaraInstallRecords()
{
    VARAConfig hf = m_varaConfig;
    hf.varaPath.clear();
    hf.installedVersion.clear();
    setVaraConfig(hf);
    VARAFMConfig fm = m_varaFMConfig;
    fm.varaPath.clear();
    fm.installedVersion.clear();
    setVaraFMConfig(fm);
}

std::optional<QString> ConfigStore::setRigctldConfig(const RigctldConfig &config)
{
    return assign(m_rigctldConfig, config, Keys::kRigctldConfig, &ConfigStore::rigctldConfigChanged);
}

std::optional<QString> ConfigStore::setDirewolfConfig(const DirewolfConfig &config)
{
    return assign(m_direwolfConfig, config, Keys::kDirewolfConfig, &ConfigStore::direwolfConfigChanged);
}

ServiceLifecycleMode ConfigStore::lifecycleMode(ServiceID id) const
{
    return visitConfig(id, [](const auto &record) { return record.lifecycleMode; });
}

void ConfigStore::setLifecycleMode(ServiceID id, ServiceLifecycleMode mode)
{
    updateConfig(id, [mode](auto &record) { record.lifecycleMode = mode; });
}

std::optional<QString> ConfigStore::apiPortProblem(qint64 port) const
{
    if (!isUsablePort(port)) {
        return invalidPortText();
    }
    // Asked anew each time: the kernel's setting may change while the helper runs.
    if (const int lowest = m_systemInfo.lowestBindablePort(); port < lowest) {
        return reservedPortText(static_cast<int>(port), lowest);
    }
    return std::nullopt;
}

std::optional<QString> ConfigStore::setApiPort(int port)
{
    // Stored, such a port would only make the next start fail to listen.
    if (std::optional<QString> problem = apiPortProblem(port)) {
        return problem;
    }
    return assign(m_apiPort, port, Keys::kApiPort, &ConfigStore::apiPortChanged);
}

void ConfigStore::setLaunchAtLogin(bool enabled)
{
    // The login item is the record that counts here; the stored copy only mirrors it.
    assign(
        m_launchAtLogin, enabled,
        [this] {
            applyLaunchAtLogin();
            return std::optional<QString>();
        },
        &ConfigStore::launchAtLoginChanged);
}

std::optional<QString> ConfigStore::changeLaunchAtLogin(bool enabled)
{
    m_loginItemFailure.reset();
    setLaunchAtLogin(enabled);
    const std::optional<QString> failure = std::exchange(m_loginItemFailure, std::nullopt);
    const bool real = m_loginItem.status() == LoginItem::Status::enabled;
    if (failure && real != m_launchAtLogin) {
        m_launchAtLogin = real;
        m_defaults.setObject(Keys::kLaunchAtLogin, real);
        Q_EMIT launchAtLoginChanged(real);
    }
    return failure;
}

void ConfigStore::applyLaunchAtLogin()
{
    m_defaults.setObject(Keys::kLaunchAtLogin, m_launchAtLogin);
    const std::optional<QString> failure = m_launchAtLogin ? m_loginItem.registerItem() : m_loginItem.unregisterItem();
    m_loginItemFailure = failure;
    if (failure) {
        // The assigned value stays; the next launch shows the item's real status again.
        HelperLogger::error(QStringLiteral("[ConfigStore] Failed to %1 login item: %2")
                                .arg(m_launchAtLogin ? QStringLiteral("register") : QStringLiteral("unregister"), *failure),
                            Category::services);
    }
}

std::optional<QString> ConfigStore::setStationCallsign(const QString &callsign)
{
    return assign(m_stationCallsign, callsign, Keys::kStationCallsign, &ConfigStore::stationCallsignChanged);
}

std::optional<QString> ConfigStore::setServiceName(const QString &name)
{
    return assign(m_serviceName, name, Keys::kServiceName, &ConfigStore::serviceNameChanged);
}

std::optional<QString> ConfigStore::setIdleShutdownDelay(int minutes)
{
    return assign(m_idleShutdownDelay, minutes, Keys::kIdleShutdownDelay, &ConfigStore::idleShutdownDelayChanged);
}

std::optional<QString> ConfigStore::setAllowNetworkAccess(bool allow)
{
    return assign(m_allowNetworkAccess, allow, Keys::kAllowNetworkAccess, &ConfigStore::allowNetworkAccessChanged);
}

std::optional<QString> ConfigStore::setRequirePairing(bool require)
{
    return assign(m_requirePairing, require, Keys::kRequirePairing, &ConfigStore::requirePairingChanged);
}

std::optional<QString> ConfigStore::setAppearanceMode(AppAppearanceMode mode)
{
    return assign(
        m_appearanceMode, mode,
        [this] {
            std::optional<QString> failure = save(m_appearanceMode, Keys::kAppearanceMode);
            if (!failure) {
                applyAppearanceMode();
            }
            return failure;
        },
        &ConfigStore::appearanceModeChanged);
}

void ConfigStore::applyAppearanceMode()
{
    // Whether the platform accepted the policy changes nothing here.
    m_activation.setActivationPolicy(showInDock(m_appearanceMode) ? AppActivation::Policy::regular
                                                                  : AppActivation::Policy::accessory);
}

QString ConfigStore::bindAddress() const
{
    return rigctldListenAddress(m_allowNetworkAccess, canListenOnBothFamilies());
}

} // namespace cordavelle
