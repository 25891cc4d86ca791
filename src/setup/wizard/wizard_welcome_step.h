#pragma once

#include "setup/wizard/wizard_step.h"

namespace cordavelle {

// The wizard's first page: what the helper does, and that the wizard leads on from here.
class WizardWelcomeStep final : public WizardStep {
    Q_OBJECT
public:
    explicit WizardWelcomeStep(QWidget *parent = nullptr);
};

} // namespace cordavelle
