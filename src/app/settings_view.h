#pragma once

#include "app/reset_section_model.h"
#include "app/settings_model.h"
#include "core/experimental_features.h"
#include "widgets/setting_note.h"

#include <QWidget>

#include <functional>
#include <map>
#include <optional>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QVBoxLayout;

namespace cordavelle {

class AlertPresenter;
class CoalescedRefresh;
class ConfigStore;
class ExperimentalFeatureManager;
class PairingManager;
class ResetSection;
class ServiceOrchestrator;

// What the settings window works with.
struct SettingsContext {
    ConfigStore &config;
    ExperimentalFeatureManager &experimental;
    PairingManager &pairing;
    AlertPresenter &alerts;
    // Runs one reset level (the uninstaller is found when a level runs).
    ResetSectionModel::Runner resetRunner;
    // The program's ordinary quit, after the full reset.
    std::function<void()> quit;
    // For the texts only: where the prefix lies, and the home folder shown as "~".
    QString prefixPath;
    QString home;
    // The services whose running children the network caption speaks of; none shows the
    // setting alone.
    const ServiceOrchestrator *services = nullptr;
};

// The settings window's body: one grouped form whose every control writes through to the store
// or the feature manager the moment the user changes it, and the reset section last.
class HelperSettingsView final : public QWidget {
    Q_OBJECT
public:
    explicit HelperSettingsView(SettingsContext context, QWidget *parent = nullptr);

private:
    QWidget *buildStartupAndAppearance(QVBoxLayout *form);
    QWidget *buildNetwork();
    QWidget *buildSecurity();
    QWidget *buildServices();
    QWidget *buildExperimental();
    void refresh();
    // The reason under the API port field, or none.
    void showApiPortProblem(const std::optional<QString> &problem);
    // The store's answer to the user's change of `control`: a refusal puts every control back to
    // the stored values and says why under `control`. True when it was refused.
    bool stored(const QWidget *control, const StoreAnswer &answer);

    SettingsContext m_context;
    settings_model::ExperimentalSwitch m_experimentalSwitch;
    ResetSectionModel *m_resetModel;
    CoalescedRefresh *m_refresh;

    QCheckBox *m_launchAtLogin = nullptr;
    QButtonGroup *m_appearance = nullptr;
    QLabel *m_appearanceCaption = nullptr;
    QLineEdit *m_serviceName = nullptr;
    QCheckBox *m_allowNetwork = nullptr;
    QLabel *m_networkCaption = nullptr;
    QLineEdit *m_apiPort = nullptr;
    SettingNote *m_apiPortProblem = nullptr;
    QCheckBox *m_requirePairing = nullptr;
    QLabel *m_pairingCaption = nullptr;
    QWidget *m_pairingWarning = nullptr;
    QComboBox *m_idleDelay = nullptr;
    QCheckBox *m_experimentalMaster = nullptr;
    QWidget *m_features = nullptr;
    std::map<ExperimentalFeature, QCheckBox *> m_featureSwitches;
};

} // namespace cordavelle
