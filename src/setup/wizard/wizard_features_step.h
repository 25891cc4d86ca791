#pragma once

#include "setup/wizard/wizard_navigation.h"
#include "setup/wizard/wizard_step.h"

#include <array>

class QCheckBox;

namespace cordavelle {

class WizardInfoBox;

// The four switches that decide which set-up pages follow. They edit the wizard's own choice,
// which lives as long as the wizard is up; nothing here is stored.
class WizardFeaturesStep final : public WizardStep {
    Q_OBJECT
public:
    explicit WizardFeaturesStep(WizardFeatures &features, QWidget *parent = nullptr);

    // The switches in the order shown: VARA HF, VARA FM, radio control, packet.
    QCheckBox *featureSwitch(int row) const { return m_switches.at(row); }
    // The boxes under the switches; at most one is visible.
    WizardInfoBox *wineBox() const { return m_wineBox; }
    WizardInfoBox *noFeaturesBox() const { return m_noFeaturesBox; }

    void shown() override;

private:
    void refresh();

    WizardFeatures &m_features;
    std::array<QCheckBox *, 4> m_switches{};
    WizardInfoBox *m_wineBox;
    WizardInfoBox *m_noFeaturesBox;
};

} // namespace cordavelle
