#pragma once

#include "widgets/status_look.h"

#include <QString>
#include <QStringList>

namespace cordavelle {

// The four things a user may choose to set up. Every showing of the wizard starts with all of
// them on; they are never stored.
struct WizardFeatures {
    bool enableVARAHF = true;
    bool enableVARAFM = true;
    bool enableRadioControl = true;
    bool enablePacket = true;

    bool needsVARA() const { return enableVARAHF || enableVARAFM; }
    bool noneChosen() const { return !needsVARA() && !enableRadioControl && !enablePacket; }
    bool operator==(const WizardFeatures &) const = default;
};

// The wizard's pages by index, in the order the step indicator shows them.
namespace wizardPage {
enum Index : int { welcome = 0, features, dependencies, vara, radioControl, packet, complete };
} // namespace wizardPage

// The step titles, one per index.
const QStringList &wizardStepTitles();
inline int wizardLastStep() { return int(wizardStepTitles().size()) - 1; }

// Where Continue and Back lead from `current`: pages the chosen features make unnecessary are
// passed over; Dependencies and VARA come together and only with a VARA modem chosen.
int nextWizardStep(int current, const WizardFeatures &features);
int previousWizardStep(int current, const WizardFeatures &features);

// Which buttons the wizard's bottom row shows on a step. Continue and Done are never disabled.
struct WizardButtons {
    bool back = false;
    bool continueButton = false;
    bool done = false;
    bool operator==(const WizardButtons &) const = default;
};
WizardButtons wizardButtons(int current);

// Where a step's chosen installs stand: all in place (or none to make), one still under way, one
// failed, or the step passed over, by the chosen features or by going on without its installs.
enum class StepProgress { done, installing, failed, skipped };

// One step of the indicator: a passed step carries a check mark on an accent circle only when its
// chosen installs are done; one whose install runs shows three dots on an accent circle, one whose
// install failed an exclamation mark on an orange circle, and one skipped a dash on a pale circle.
// The current step shows its number in white on an accent circle, later ones a secondary number
// on a pale circle.
struct StepIndicatorLook {
    enum class Mark { check, number, failed, installing, skipped };
    bool accentCircle = false;
    bool failedCircle = false;
    Mark mark = Mark::number;
    bool whiteMark = false;
    bool primaryTitle = false;
    // Whether a connector follows the step, and whether it is drawn in the accent colour.
    bool connector = false;
    bool accentConnector = false;
    bool operator==(const StepIndicatorLook &) const = default;
};
StepIndicatorLook stepIndicatorLook(int index, int current, StepProgress progress = StepProgress::done);
// What a screen reader hears of a step: "current", "to come", "done", "installing", "needs
// attention" or "skipped".
QString stepProgressWords(int index, int current, StepProgress progress);

// What the Features page explains under its switches: at most one box.
enum class FeaturesInfo { none, wineWillBeInstalled, noFeaturesSelected };
FeaturesInfo featuresInfo(const WizardFeatures &features);

} // namespace cordavelle
