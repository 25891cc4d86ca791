#include "setup/wizard/wizard_install_steps.h"

#include "app/helper_app_delegate.h"
#include "platform/app_activation.h"
#include "setup/wizard/wizard_dependencies_step.h"
#include "setup/wizard/wizard_navigation.h"
#include "setup/wizard/wizard_packet_step.h"
#include "setup/wizard/wizard_radio_control_step.h"
#include "setup/wizard/wizard_vara_step.h"

namespace cordavelle {

WizardStep *makeWizardInstallStep(int index, const AppContext &context, QWidget *parent)
{
    const SetupInstallers &installers = context.installers;
    switch (index) {
    case wizardPage::dependencies: return new WizardDependenciesStep(installers.wine, installers.prefix, parent);
    case wizardPage::vara:
        return new WizardVARAStep(installers.varaHF, installers.varaFM, installers.prefix, parent);
    case wizardPage::radioControl: return new WizardRadioControlStep(installers.hamlib, context.config, parent);
    case wizardPage::packet: {
        // Without a desktop that reports activation, the page still looks again on every visit.
        static RecordedAppActivation silent;
        AppActivation &activation = context.activation ? *context.activation : silent;
        return new WizardPacketStep(installers.direwolfDiscovery, activation, parent);
    }
    default: return nullptr;
    }
}

} // namespace cordavelle
