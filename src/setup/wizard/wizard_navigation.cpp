#include "setup/wizard/wizard_navigation.h"

namespace cordavelle {

using namespace wizardPage;

const QStringList &wizardStepTitles()
{
    static const QStringList titles{QStringLiteral("Welcome"),       QStringLiteral("Features"),
                                    QStringLiteral("Dependencies"),  QStringLiteral("VARA"),
                                    QStringLiteral("Radio Control"), QStringLiteral("Packet"),
                                    QStringLiteral("Complete")};
    return titles;
}

int nextWizardStep(int current, const WizardFeatures &f)
{
    const auto afterVARA = [&] {
        if (f.enableRadioControl) {
            return int(radioControl);
        }
        return f.enablePacket ? int(packet) : int(complete);
    };
    switch (current) {
    case features: return f.needsVARA() ? int(dependencies) : afterVARA();
    case dependencies: return vara;
    case vara: return afterVARA();
    case radioControl: return f.enablePacket ? int(packet) : int(complete);
    default: return qMin(current + 1, wizardLastStep());
    }
}

int previousWizardStep(int current, const WizardFeatures &f)
{
    const auto beforeRadioControl = [&] { return f.needsVARA() ? int(vara) : int(features); };
    const auto beforePacket = [&] { return f.enableRadioControl ? int(radioControl) : beforeRadioControl(); };
    switch (current) {
    case complete: return f.enablePacket ? int(packet) : beforePacket();
    case packet: return beforePacket();
    case radioControl: return beforeRadioControl();
    default: return qMax(current - 1, 0);
    }
}

WizardButtons wizardButtons(int current)
{
    const int last = wizardLastStep();
    return {.back = current >= 1 && current < last, .continueButton = current < last, .done = current == last};
}

StepIndicatorLook stepIndicatorLook(int index, int current, bool installFailed)
{
    using Mark = StepIndicatorLook::Mark;
    const bool passed = index < current;
    const bool failed = passed && installFailed;
    return {.accentCircle = index <= current && !failed,
            .failedCircle = failed,
            .mark = failed ? Mark::failed : passed ? Mark::check : Mark::number,
            .whiteMark = index <= current,
            .primaryTitle = index == current,
            .connector = index < wizardLastStep(),
            .accentConnector = index < wizardLastStep() && passed};
}

FeaturesInfo featuresInfo(const WizardFeatures &features)
{
    if (features.needsVARA()) {
        return FeaturesInfo::wineWillBeInstalled;
    }
    return features.noneChosen() ? FeaturesInfo::noFeaturesSelected : FeaturesInfo::none;
}

} // namespace cordavelle
