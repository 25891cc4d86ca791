#include "setup/wizard/setup_wizard.h"

#include "setup/setup_views.h"
#include "widgets/coalesced_refresh.h"
#include "install/hamlib_installer.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"
#include "radio/direwolf_discovery.h"
#include "setup/wizard/wizard_complete_step.h"
#include "setup/wizard/wizard_dependencies_step.h"
#include "setup/wizard/wizard_features_step.h"
#include "setup/wizard/wizard_packet_step.h"
#include "setup/wizard/wizard_radio_control_step.h"
#include "setup/wizard/wizard_vara_step.h"
#include "setup/wizard/wizard_welcome_step.h"

namespace cordavelle {

HelperSetupWizardView::PageFactory wizardPages(const SetupInstallers &installers, ConfigStore &config,
                                               AppActivation &activation)
{
    return [installers, &config, &activation](int index, WizardFeatures &features) -> WizardStep * {
        switch (index) {
        case wizardPage::welcome: return new WizardWelcomeStep;
        case wizardPage::features: return new WizardFeaturesStep(features);
        case wizardPage::dependencies: return new WizardDependenciesStep(installers.wine, installers.prefix);
        case wizardPage::vara: return new WizardVARAStep(installers.varaHF, installers.varaFM, installers.prefix);
        case wizardPage::radioControl: return new WizardRadioControlStep(installers.hamlib, config);
        case wizardPage::packet: return new WizardPacketStep(installers.direwolfDiscovery, activation);
        case wizardPage::complete: return new WizardCompleteStep(installers, features);
        default: return nullptr;
        }
    };
}

QDialog *makeSetupWizard(const SetupContext &context, std::function<void(SidebarSection)> select, QWidget *parent)
{
    auto *wizard = new HelperSetupWizardView(context.state, context.defaults,
                                             wizardPages(context.installers, context.config, context.activation), parent);
    const SetupInstallers installers = context.installers;
    const auto summary = [wizard, installers] {
        return completionSummary(gatherCompletionFacts(installers, wizard->features()));
    };
    // An installer tells of each log line too: the marks are worked out at most once per turn.
    auto *marks = new CoalescedRefresh(wizard, [wizard, summary] { wizard->setStepProgress(wizardStepProgress(summary())); });
    for (Installer *installer : std::initializer_list<Installer *>{&installers.wine, &installers.prefix,
                                                                   &installers.varaHF, &installers.varaFM,
                                                                   &installers.hamlib}) {
        QObject::connect(installer, &Installer::changed, marks, &CoalescedRefresh::schedule);
    }
    QObject::connect(&installers.direwolfDiscovery, &DirewolfDiscovery::direwolfPathChanged, marks,
                     &CoalescedRefresh::schedule);
    // Which installs count as chosen changes with the features.
    QObject::connect(wizard, &HelperSetupWizardView::stepShown, marks, &CoalescedRefresh::schedule);
    QObject::connect(wizard, &QDialog::accepted, wizard, [summary, select = std::move(select)] {
        if (select && completionNeedsAttention(summary())) {
            select(SidebarSection::setup);
        }
    });
    return wizard;
}

} // namespace cordavelle
