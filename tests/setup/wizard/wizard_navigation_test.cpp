#include "setup/wizard/wizard_navigation.h"

#include <gtest/gtest.h>

#include <vector>

namespace cordavelle {
namespace {

using namespace wizardPage;

WizardFeatures combination(int bits)
{
    return {.enableVARAHF = (bits & 1) != 0,
            .enableVARAFM = (bits & 2) != 0,
            .enableRadioControl = (bits & 4) != 0,
            .enablePacket = (bits & 8) != 0};
}

// The pages a user should see, from what each page is for.
std::vector<int> expectedVisits(const WizardFeatures &f)
{
    std::vector<int> pages{welcome, features};
    if (f.enableVARAHF || f.enableVARAFM) {
        pages.insert(pages.end(), {dependencies, vara});
    }
    if (f.enableRadioControl) {
        pages.push_back(radioControl);
    }
    if (f.enablePacket) {
        pages.push_back(packet);
    }
    pages.push_back(complete);
    return pages;
}

TEST(WizardNavigation, ContinueVisitsExactlyTheChosenPagesAndBackRetracesThem)
{
    for (int bits = 0; bits < 16; ++bits) {
        const WizardFeatures f = combination(bits);
        const std::vector<int> expected = expectedVisits(f);

        std::vector<int> forward{welcome};
        while (forward.back() != complete && forward.size() < 10) {
            forward.push_back(nextWizardStep(forward.back(), f));
        }
        EXPECT_EQ(forward, expected) << "features " << bits;

        std::vector<int> back{complete};
        while (back.back() != welcome && back.size() < 10) {
            back.push_back(previousWizardStep(back.back(), f));
        }
        EXPECT_EQ(back, std::vector<int>(expected.rbegin(), expected.rend())) << "features " << bits;
    }
}

TEST(WizardNavigation, ButtonsOfEachStep)
{
    const WizardButtons first{.back = false, .continueButton = true, .done = false};
    const WizardButtons middle{.back = true, .continueButton = true, .done = false};
    const WizardButtons last{.back = false, .continueButton = false, .done = true};
    const WizardButtons expected[] = {first, middle, middle, middle, middle, middle, last};
    ASSERT_EQ(wizardStepTitles().size(), 7);
    for (int step = 0; step < 7; ++step) {
        EXPECT_EQ(wizardButtons(step), expected[step]) << step;
    }
}

TEST(WizardStepIndicator, PassedCurrentAndLaterSteps)
{
    using Mark = StepIndicatorLook::Mark;
    const StepIndicatorLook passed{.accentCircle = true, .mark = Mark::check, .whiteMark = true,
                                   .primaryTitle = false, .connector = true, .accentConnector = true};
    const StepIndicatorLook current{.accentCircle = true, .mark = Mark::number, .whiteMark = true,
                                    .primaryTitle = true, .connector = true, .accentConnector = false};
    const StepIndicatorLook later{.accentCircle = false, .mark = Mark::number, .whiteMark = false,
                                  .primaryTitle = false, .connector = true, .accentConnector = false};
    for (int i = 0; i < 7; ++i) {
        StepIndicatorLook want = i < 3 ? passed : i == 3 ? current : later;
        // The last step has no connector after it.
        want.connector = want.connector && i < 6;
        EXPECT_EQ(stepIndicatorLook(i, 3), want) << i;
    }
    // On the last step every earlier step is passed.
    EXPECT_EQ(stepIndicatorLook(2, complete).mark, Mark::check);
    EXPECT_TRUE(stepIndicatorLook(5, complete).accentConnector);
    EXPECT_TRUE(stepIndicatorLook(6, complete).primaryTitle);
    EXPECT_FALSE(stepIndicatorLook(6, complete).connector);
    // Only a passed step whose installs are done is checked off; the current one keeps its number.
    const StepIndicatorLook failed = stepIndicatorLook(dependencies, vara, StepProgress::failed);
    EXPECT_EQ(failed.mark, Mark::failed);
    EXPECT_TRUE(failed.failedCircle);
    EXPECT_FALSE(failed.accentCircle);
    EXPECT_EQ(stepIndicatorLook(dependencies, vara, StepProgress::installing).mark, Mark::installing);
    const StepIndicatorLook skipped = stepIndicatorLook(vara, complete, StepProgress::skipped);
    EXPECT_EQ(skipped.mark, Mark::skipped);
    EXPECT_FALSE(skipped.accentCircle);
    EXPECT_FALSE(skipped.whiteMark);
    for (const StepProgress progress : {StepProgress::failed, StepProgress::installing, StepProgress::skipped}) {
        EXPECT_EQ(stepIndicatorLook(dependencies, dependencies, progress), stepIndicatorLook(dependencies, dependencies));
    }
    EXPECT_EQ(stepProgressWords(vara, complete, StepProgress::skipped), "skipped");
    EXPECT_EQ(stepProgressWords(dependencies, vara, StepProgress::installing), "installing");
}

TEST(WizardFeaturesInfo, WineBoxWithAVARAModemNoFeaturesBoxWithNothing)
{
    for (int bits = 0; bits < 16; ++bits) {
        const WizardFeatures f = combination(bits);
        const FeaturesInfo expected = (bits & 3) != 0 ? FeaturesInfo::wineWillBeInstalled
                                      : bits == 0     ? FeaturesInfo::noFeaturesSelected
                                                      : FeaturesInfo::none;
        EXPECT_EQ(featuresInfo(f), expected) << bits;
    }
}

} // namespace
} // namespace cordavelle
