#include "helper_setup_state.h"

namespace cordavelle {

HelperSetupState &HelperSetupState::shared()
{
    static auto *state = new HelperSetupState;
    return *state;
}

void HelperSetupState::setShowWizard(bool show)
{
    if (m_showWizard == show) {
        return;
    }
    m_showWizard = show;
    Q_EMIT showWizardChanged(show);
}

} // namespace cordavelle
