#include "setup/wizard/wizard_dependencies_step.h"

#include "widgets/coalesced_refresh.h"
#include "base/tool_lookup.h"
#include "install/installer.h"
#include "setup/checklist/checklist_rows.h"
#include "setup/wizard/install_steps_model.h"
#include "setup/wizard/wizard_components.h"
#include "setup/wizard/wizard_install_row.h"

namespace cordavelle {

namespace {

bool wineAvailable(const Installer &wine) { return wine.installedCopy().present || tools::findWine().has_value(); }

} // namespace

WizardDependenciesStep::WizardDependenciesStep(Installer &wine, Installer &prefix, QWidget *parent)
    : WizardStep(parent), m_wine(wine), m_prefix(prefix), m_wineRow(new WizardInstallRow(this)),
      m_prefixRow(new WizardInstallRow(this)), m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    m_wineRow->setObjectName(QStringLiteral("wineRow"));
    m_prefixRow->setObjectName(QStringLiteral("winePrefixRow"));
    wizardInstallPage(
        this,
        wizardHeader(QStringLiteral("shippingbox.fill"), QStringLiteral("Install Dependencies"),
                     QStringLiteral("Wine is required to run VARA on Linux")),
        {m_wineRow, m_prefixRow},
        new WizardInfoBox(QStringLiteral("What is Wine?"),
                          QStringLiteral("Wine is a compatibility layer that lets Linux run Windows executables. VARA "
                                         "HF and VARA FM are Windows-only programs; Wine is what makes them work on "
                                         "your computer. Cordavelle Helper downloads Wine automatically.")));

    m_wineRow->drive(m_wine);
    m_prefixRow->drive(m_prefix);
    const auto schedule = [this] { m_refresh->schedule(); };
    connect(&m_wine, &Installer::changed, this, schedule);
    connect(&m_prefix, &Installer::changed, this, schedule);
    refresh();
}

void WizardDependenciesStep::shown()
{
    // A failed install is not retried on its own, and one that is still winding down after a
    // cancel is not started over.
    const InstallProgress progress = m_wine.progress();
    if (progress.phase == InstallProgress::Phase::idle && !progress.busy && !m_wine.installedCopy().present &&
        !tools::findWine()) {
        m_wine.start();
    }
    refresh();
}

void WizardDependenciesStep::refresh()
{
    const bool wine = wineAvailable(m_wine);
    const InstallProgress wineProgress = m_wine.progress();
    const wizard::DependencyRowState wineState = wizard::wineInstallerDisplayState(wineProgress, wine);
    InstallerRowLook wineLook = wizard::dependencyRowLook(
        QStringLiteral("Wine"), QStringLiteral("Windows compatibility layer for running VARA"), wine, wineState);
    // Says why the Helper's own Wine is fetched though a Wine is on the machine.
    if (wineState.kind() != wizard::DependencyRowState::Kind::done) {
        if (const auto without32Bit = wineWithout32Bit()) {
            checklist::explainWineWithout32Bit(wineLook, *without32Bit);
        }
    }
    m_wineRow->display(wineLook, wineProgress.error);
    const bool ready = m_prefix.installedCopy().present;
    const InstallProgress prefixProgress = m_prefix.progress();
    m_prefixRow->display(wizard::dependencyRowLook(QStringLiteral("Wine Prefix"),
                                                   QStringLiteral("Wine environment with VB6 runtime and pdh.dll"), ready,
                                                   wizard::prefixDisplayState(prefixProgress, ready, wine, wineProgress.working())),
                         prefixProgress.error);
}

} // namespace cordavelle
