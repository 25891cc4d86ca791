#include "setup/wizard/setup_wizard.h"

#include "setup/setup_views.h"
#include "install/hamlib_installer.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"
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

QDialog *makeSetupWizard(const SetupContext &context, QWidget *parent)
{
    return new HelperSetupWizardView(context.state, context.defaults,
                                     wizardPages(context.installers, context.config, context.activation), parent);
}

} // namespace cordavelle
