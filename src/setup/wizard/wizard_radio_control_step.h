#pragma once

#include "setup/wizard/wizard_step.h"

namespace cordavelle {

class CoalescedRefresh;
class ConfigStore;
class Installer;
class WizardInfoBox;
class WizardInstallRow;

// The wizard's "Radio Control" page: whether a rigctld the helper can start is there (its own
// copy or the system's), the managed Hamlib install and its progress otherwise.
class WizardRadioControlStep final : public WizardStep {
    Q_OBJECT
public:
    WizardRadioControlStep(Installer &hamlib, ConfigStore &config, QWidget *parent = nullptr);

    void shown() override;

private:
    void refresh();

    Installer &m_hamlib;
    ConfigStore &m_config;
    WizardInstallRow *m_row;
    WizardInfoBox *m_info = nullptr;
    CoalescedRefresh *m_refresh;
};

} // namespace cordavelle
