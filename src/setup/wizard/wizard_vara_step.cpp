#include "setup/wizard/wizard_vara_step.h"

#include "widgets/coalesced_refresh.h"
#include "core/service_orchestrator.h"
#include "install/vara_installer.h"
#include "setup/wizard/install_steps_model.h"
#include "setup/wizard/wizard_components.h"
#include "setup/wizard/wizard_install_row.h"

namespace cordavelle {

WizardVARAStep::WizardVARAStep(VARAInstaller &hf, VARAInstaller &fm, Installer &prefix, QWidget *parent)
    : WizardStep(parent), m_hf(hf), m_fm(fm), m_prefix(prefix), m_hfRow(addRow(hf)), m_fmRow(addRow(fm)),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    m_hfRow->setObjectName(QStringLiteral("varaHFRow"));
    m_fmRow->setObjectName(QStringLiteral("varaFMRow"));
    wizardInstallPage(
        this,
        wizardHeader(QStringLiteral("wave.3.right"), QStringLiteral("Install VARA Modems"),
                     QStringLiteral("VARA HF and VARA FM are the recommended modems for Pelorin")),
        {m_hfRow, m_fmRow},
        new WizardInfoBox(QStringLiteral("Install at least one modem"),
                          QStringLiteral("VARA HF is required for HF radio connections. VARA FM is required for "
                                         "VHF/UHF connections. Both can be installed and used independently. You can "
                                         "install the other later from Setup in the management window."),
                          this));
    refresh();
}

WizardInstallRow *WizardVARAStep::addRow(VARAInstaller &installer)
{
    auto *row = new WizardInstallRow(this);
    row->drive(installer);
    connect(&installer, &Installer::changed, this, [this] { m_refresh->schedule(); });
    return row;
}

void WizardVARAStep::shown() { refresh(); }

void WizardVARAStep::refresh()
{
    const auto prefixReady = [this] { return m_prefix.installedCopy().present; };
    for (VARAInstaller *installer : {&m_hf, &m_fm}) {
        const VARAVariant variant = installer->variant();
        const VARAFacts facts{[variant] { return ServiceOrchestrator::isVARAInstalled(variant); }, prefixReady,
                              [installer] { return installer->installedVersion(); }};
        const InstallProgress progress = installer->progress();
        WizardInstallRow *row = variant == VARAVariant::hf ? m_hfRow : m_fmRow;
        row->display(wizard::varaRowLook(variant, progress, facts), progress.error);
    }
}

} // namespace cordavelle
