#pragma once

#include "setup/wizard/wizard_step.h"

namespace cordavelle {

class CoalescedRefresh;
class Installer;
class WizardInstallRow;

// The wizard's "Dependencies" page: Wine and the helper's Wine prefix, each with its live state
// and the one action that fits it. Every visit starts the Wine download when no Wine is
// anywhere and the installer rests.
class WizardDependenciesStep final : public WizardStep {
    Q_OBJECT
public:
    WizardDependenciesStep(Installer &wine, Installer &prefix, QWidget *parent = nullptr);

    void shown() override;

    WizardInstallRow *wineRow() const { return m_wineRow; }
    WizardInstallRow *prefixRow() const { return m_prefixRow; }

private:
    void refresh();

    Installer &m_wine;
    Installer &m_prefix;
    WizardInstallRow *m_wineRow;
    WizardInstallRow *m_prefixRow;
    CoalescedRefresh *m_refresh;
};

} // namespace cordavelle
