#pragma once

#include "setup/wizard/wizard_step.h"

namespace cordavelle {

class CoalescedRefresh;
class Installer;
class VARAInstaller;
class WizardInstallRow;

// The wizard's "VARA" page: one line per modem with its install's progress, cancel, failure and
// retry. Both lines show whatever features were chosen.
class WizardVARAStep final : public WizardStep {
    Q_OBJECT
public:
    WizardVARAStep(VARAInstaller &hf, VARAInstaller &fm, Installer &prefix, QWidget *parent = nullptr);

    void shown() override;

private:
    void refresh();
    WizardInstallRow *addRow(VARAInstaller &installer);

    VARAInstaller &m_hf;
    VARAInstaller &m_fm;
    Installer &m_prefix;
    WizardInstallRow *m_hfRow;
    WizardInstallRow *m_fmRow;
    CoalescedRefresh *m_refresh;
};

} // namespace cordavelle
