#pragma once

#include "app/setup_installers.h"
#include "setup/wizard/helper_setup_wizard_view.h"

namespace cordavelle {

class AppActivation;
class ConfigStore;

// The wizard's seven pages over the installers the application shares. The references must
// outlive the wizard.
HelperSetupWizardView::PageFactory wizardPages(const SetupInstallers &installers, ConfigStore &config,
                                               AppActivation &activation);

} // namespace cordavelle
