#include "setup/wizard/setup_wizard.h"

#include "app/helper_app_delegate.h"
#include "app/setup_views.h"
#include "platform/app_activation.h"
#include "setup/wizard/wizard_complete_step.h"
#include "setup/wizard/wizard_dependencies_step.h"
#include "setup/wizard/wizard_features_step.h"
#include "setup/wizard/wizard_packet_step.h"
#include "setup/wizard/wizard_radio_control_step.h"
#include "setup/wizard/wizard_vara_step.h"
#include "setup/wizard/wizard_welcome_step.h"

#include <memory>

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

QDialog *makeSetupWizard(const AppContext &context, QWidget *parent)
{
    if (context.activation) {
        return new HelperSetupWizardView(context.setup, context.defaults,
                                         wizardPages(context.installers, context.config, *context.activation), parent);
    }
    // Without an activation source the Packet page is simply never told of one; the stand-in
    // lives as long as the wizard's pages.
    auto none = std::make_shared<RecordedAppActivation>();
    auto pages = wizardPages(context.installers, context.config, *none);
    return new HelperSetupWizardView(
        context.setup, context.defaults,
        [none, pages = std::move(pages)](int index, WizardFeatures &features) { return pages(index, features); }, parent);
}

} // namespace cordavelle
