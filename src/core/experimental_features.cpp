#include "experimental_features.h"

#include "platform/platform.h"

namespace cordavelle {

QString name(ExperimentalFeature feature)
{
    switch (feature) {
    case ExperimentalFeature::packetModem: return QStringLiteral("Packet TNC");
    }
    return {};
}

QString description(ExperimentalFeature feature)
{
    switch (feature) {
    case ExperimentalFeature::packetModem: return QStringLiteral("Enable Packet TNC management in the Helper.");
    }
    return {};
}

QString defaultsKey(ExperimentalFeature feature) { return QStringLiteral("exp_") + toRaw(feature); }

ExperimentalFeatureManager::ExperimentalFeatureManager(UserDefaults &defaults, QObject *parent)
    : QObject(parent),
      m_defaults(defaults),
      m_masterEnabled(defaults.boolForKey(kMasterEnabledKey)),
      m_warningShown(defaults.boolForKey(kWarningShownKey))
{
}

ExperimentalFeatureManager &ExperimentalFeatureManager::shared()
{
    // Never destroyed: it may be reached until the very end of the process.
    static auto *instance = new ExperimentalFeatureManager(Platform::current().standardDefaults());
    return *instance;
}

void ExperimentalFeatureManager::reload()
{
    const bool master = m_defaults.boolForKey(kMasterEnabledKey);
    const bool warning = m_defaults.boolForKey(kWarningShownKey);
    const bool masterChanged = master != m_masterEnabled;
    const bool warningChanged = warning != m_warningShown;
    m_masterEnabled = master;
    m_warningShown = warning;
    if (masterChanged) {
        Q_EMIT masterEnabledChanged(master);
    }
    if (warningChanged) {
        Q_EMIT warningShownChanged(warning);
    }
}

std::optional<QString> ExperimentalFeatureManager::setMasterEnabled(bool enabled)
{
    return assignFlag(m_masterEnabled, enabled, kMasterEnabledKey, &ExperimentalFeatureManager::masterEnabledChanged);
}

std::optional<QString> ExperimentalFeatureManager::setWarningShown(bool shown)
{
    return assignFlag(m_warningShown, shown, kWarningShownKey, &ExperimentalFeatureManager::warningShownChanged);
}

std::optional<QString> ExperimentalFeatureManager::assignFlag(bool &field, bool value, const QString &key,
                                                              void (ExperimentalFeatureManager::*changed)(bool))
{
    if (std::optional<QString> failure = m_defaults.setObject(key, value)) {
        return failure;
    }
    const bool isChange = value != field;
    field = value;
    if (isChange) {
        Q_EMIT (this->*changed)(value);
    }
    return std::nullopt;
}

bool ExperimentalFeatureManager::isEnabled(ExperimentalFeature feature) const
{
    return m_masterEnabled && m_defaults.boolForKey(defaultsKey(feature));
}

std::optional<QString> ExperimentalFeatureManager::setEnabled(ExperimentalFeature feature, bool enabled)
{
    const bool changed = m_defaults.boolForKey(defaultsKey(feature)) != enabled;
    if (std::optional<QString> failure = m_defaults.setObject(defaultsKey(feature), enabled)) {
        return failure;
    }
    if (changed) {
        Q_EMIT featureChanged(feature);
    }
    return std::nullopt;
}

} // namespace cordavelle
