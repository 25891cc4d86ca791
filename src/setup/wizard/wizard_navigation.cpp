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

StepIndicatorLook stepIndicatorLook(int index, int current, StepProgress progress)
{
    using Mark = StepIndicatorLook::Mark;
    const bool passed = index < current;
    const StepProgress shown = passed ? progress : StepProgress::done;
    const bool failed = shown == StepProgress::failed;
    const bool skipped = shown == StepProgress::skipped;
    return {.accentCircle = index <= current && !failed && !skipped,
            .failedCircle = failed,
            .mark = !passed                                 ? Mark::number
                    : shown == StepProgress::failed     ? Mark::failed
                    : shown == StepProgress::installing ? Mark::installing
                    : shown == StepProgress::skipped    ? Mark::skipped
                                                        : Mark::check,
            .whiteMark = index <= current && !skipped,
            .primaryTitle = index == current,
            .connector = index < wizardLastStep(),
            .accentConnector = index < wizardLastStep() && passed};
}

QString stepProgressWords(int index, int current, StepProgress progress)
{
    if (index == current) {
        return QStringLiteral("current");
    }
    switch (stepIndicatorLook(index, current, progress).mark) {
    case StepIndicatorLook::Mark::check: return QStringLiteral("done");
    case StepIndicatorLook::Mark::installing: return QStringLiteral("installing");
    case StepIndicatorLook::Mark::failed: return QStringLiteral("needs attention");
    case StepIndicatorLook::Mark::skipped: return QStringLiteral("skipped");
    case StepIndicatorLook::Mark::number: break;
    }
    return QStringLiteral("to come");
}

FeaturesInfo featuresInfo(const WizardFeatures &features)
{
    if (features.needsVARA()) {
        return FeaturesInfo::wineWillBeInstalled;
    }
    return features.noneChosen() ? FeaturesInfo::noFeaturesSelected : FeaturesInfo::none;
}

} // namespace cordavelle
