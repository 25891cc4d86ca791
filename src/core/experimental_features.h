#pragma once

#include "base/service_model.h"
#include "platform/user_defaults.h"

#include <QObject>
#include <QString>


namespace cordavelle {

// Unfinished features offered behind switches.
enum class ExperimentalFeature { packetModem };

template <>
struct EnumTraits<ExperimentalFeature> {
    static constexpr bool iterable = true;
    static constexpr std::array cases{ExperimentalFeature::packetModem};
    static constexpr std::array<std::string_view, 1> raw{"packetModem"};
};

// The label of the feature's switch.
QString name(ExperimentalFeature feature);
QString description(ExperimentalFeature feature);
// "exp_" followed by the raw value.
QString defaultsKey(ExperimentalFeature feature);

// The master switch, the warning flag and the per-feature switches, kept in the application's
// defaults. The feature switches are read and written through the defaults each time, so a
// feature keeps its own setting while the master switch is off.
class ExperimentalFeatureManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool masterEnabled READ masterEnabled WRITE setMasterEnabled NOTIFY masterEnabledChanged)
    Q_PROPERTY(bool warningShown READ warningShown WRITE setWarningShown NOTIFY warningShownChanged)
public:
    static inline const QString kMasterEnabledKey = QStringLiteral("experimentalFeaturesEnabled");
    static inline const QString kWarningShownKey = QStringLiteral("experimentalFeaturesWarningShown");

    // Reads both flags; writes nothing.
    explicit ExperimentalFeatureManager(UserDefaults &defaults, QObject *parent = nullptr);

    // The instance on the application's standard defaults, made on first use.
    static ExperimentalFeatureManager &shared();

    // Reads both flags again (after a reset cleared the defaults); writes nothing.
    void reload();

    bool masterEnabled() const { return m_masterEnabled; }
    bool warningShown() const { return m_warningShown; }
    // Every assignment is stored; the signal comes only with a change. A write that fails keeps
    // the value before and is returned.
    std::optional<QString> setMasterEnabled(bool enabled);
    std::optional<QString> setWarningShown(bool shown);

    // False while the master switch is off, else the feature's own switch.
    bool isEnabled(ExperimentalFeature feature) const;
    std::optional<QString> setEnabled(ExperimentalFeature feature, bool enabled);

Q_SIGNALS:
    void masterEnabledChanged(bool enabled);
    void warningShownChanged(bool shown);
    void featureChanged(cordavelle::ExperimentalFeature feature);

private:
    // Stores and writes the flag every time; observers hear only of a real change.
    std::optional<QString> assignFlag(bool &field, bool value, const QString &key,
                                      void (ExperimentalFeatureManager::*changed)(bool));

    UserDefaults &m_defaults;
    bool m_masterEnabled;
    bool m_warningShown;
};

} // namespace cordavelle
