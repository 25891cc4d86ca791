#include "app/helper_setup_state.h"
#include "setup/wizard/helper_setup_wizard_view.h"
#include "setup/wizard/wizard_complete_step.h"
#include "setup/wizard/wizard_components.h"
#include "setup/wizard/wizard_features_step.h"
#include "setup/wizard/wizard_step.h"
#include "setup/wizard/wizard_step_indicator.h"
#include "setup/setup_views.h"

#include "base/helper_places.h"
#include "base/wine_environment.h"
#include "core/config_store.h"

#include "support/event_wait.h"
#include "support/scripted_alert_presenter.h"
#include "support/setup_objects.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace wizardPage;

// A page that counts its visits.
class CountingStep final : public WizardStep {
public:
    using WizardStep::WizardStep;
    void shown() override { ++visits; }
    int visits = 0;
};

class SetupWizardTest : public ::testing::Test {
protected:
    test::TestPlatform env;
    HelperSetupState state;
    HelperSetupWizardView wizard{state, env.defaults(), [](int index, WizardFeatures &features) -> WizardStep * {
                                     if (index == wizardPage::features) {
                                         return new WizardFeaturesStep(features);
                                     }
                                     return new CountingStep;
                                 }};

    CountingStep *counting(int index) { return static_cast<CountingStep *>(wizard.page(index)); }
    void press(int key)
    {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(&wizard, &event);
    }
};

TEST_F(SetupWizardTest, EscapeGoesBackOnlyWhereBackIsOfferedAndEveryVisitIsAnnounced)
{
    wizard.show();
    press(Qt::Key_Escape);
    EXPECT_EQ(wizard.currentStep(), welcome);
    EXPECT_TRUE(wizard.isVisible());

    press(Qt::Key_Return);
    EXPECT_EQ(wizard.currentStep(), features);
    wizard.navigateForward();
    EXPECT_EQ(wizard.currentStep(), dependencies);
    press(Qt::Key_Escape);
    EXPECT_EQ(wizard.currentStep(), features);
    wizard.navigateForward();
    EXPECT_EQ(counting(dependencies)->visits, 2);

    for (int i = 0; i < 4; ++i) {
        wizard.navigateForward();
    }
    EXPECT_EQ(wizard.currentStep(), complete);
    EXPECT_FALSE(wizard.backButton()->isVisible());
    EXPECT_TRUE(wizard.doneButton()->isVisible());
    press(Qt::Key_Escape);
    EXPECT_EQ(wizard.currentStep(), complete);
    EXPECT_TRUE(wizard.isVisible());
    EXPECT_FALSE(env.defaults().contains(ConfigStore::Keys::kHasCompletedHelperSetup));
}

TEST_F(SetupWizardTest, TheFeatureSwitchesSteerContinue)
{
    wizard.show();
    wizard.navigateForward();
    auto *page = static_cast<WizardFeaturesStep *>(wizard.page(features));
    EXPECT_TRUE(page->wineBox()->isVisible());
    for (int row = 0; row < 4; ++row) {
        page->featureSwitch(row)->click();
    }
    EXPECT_FALSE(page->wineBox()->isVisible());
    EXPECT_TRUE(page->noFeaturesBox()->isVisible());
    page->featureSwitch(3)->click();
    EXPECT_FALSE(page->noFeaturesBox()->isVisible());
    EXPECT_EQ(wizard.features(), (WizardFeatures{false, false, false, true}));
    wizard.navigateForward();
    EXPECT_EQ(wizard.currentStep(), packet);
    EXPECT_EQ(wizard.page(dependencies), nullptr);
}

TEST_F(SetupWizardTest, DoneRecordsCompletionBeforeClearingTheRequestAndClosing)
{
    state.setShowWizard(true);
    std::vector<QString> events;
    QObject::connect(&state, &HelperSetupState::showWizardChanged, [&](bool show) {
        events.push_back(QStringLiteral("showWizard=%1 stored=%2").arg(show).arg(env.defaults().boolForKey(
                             ConfigStore::Keys::kHasCompletedHelperSetup)));
    });
    QObject::connect(&wizard, &QDialog::finished, [&](int result) {
        events.push_back(QStringLiteral("closed result=%1 showWizard=%2").arg(result).arg(state.showWizard()));
    });
    wizard.show();
    while (wizard.currentStep() != complete) {
        wizard.navigateForward();
    }
    press(Qt::Key_Return);
    EXPECT_EQ(events, (std::vector<QString>{"showWizard=0 stored=1", "closed result=1 showWizard=0"}));
    EXPECT_FALSE(wizard.isVisible());
}

TEST_F(SetupWizardTest, TheCloseButtonLeavesTheSetupUnfinishedForTheNextLaunch)
{
    state.setShowWizard(true);
    wizard.show();
    wizard.navigateForward();
    QCloseEvent close;
    QApplication::sendEvent(&wizard, &close);
    EXPECT_TRUE(close.isAccepted());
    EXPECT_FALSE(wizard.isVisible());
    EXPECT_FALSE(state.showWizard());
    EXPECT_EQ(wizard.result(), QDialog::Rejected);
    EXPECT_FALSE(env.defaults().contains(ConfigStore::Keys::kHasCompletedHelperSetup));
}

TEST(WizardCompletionSummary, OptionalComponentsReadSkippedTheOthersNotInstalled)
{
    const std::vector<SummaryRow> none = completionSummary({});
    std::vector<QString> titles, values;
    for (const SummaryRow &row : none) {
        titles.push_back(row.title);
        values.push_back(row.value);
        EXPECT_FALSE(row.good);
    }
    EXPECT_EQ(titles, (std::vector<QString>{"Wine", "Wine Prefix", "VARA HF", "VARA FM", "Hamlib (rigctld)",
                                            "Direwolf (Packet)"}));
    EXPECT_EQ(values, (std::vector<QString>{"Not installed", "Not set up", "Not installed", "Not installed", "Skipped",
                                            "Skipped"}));

    // Each fact turns exactly its own row good.
    const std::vector<bool CompletionFacts::*> facts{
        &CompletionFacts::wineAvailable,   &CompletionFacts::prefixReady,      &CompletionFacts::varaHFInstalled,
        &CompletionFacts::varaFMInstalled, &CompletionFacts::rigctldAvailable, &CompletionFacts::direwolfFound};
    for (std::size_t i = 0; i < facts.size(); ++i) {
        CompletionFacts f;
        f.*facts[i] = true;
        const std::vector<SummaryRow> rows = completionSummary(f);
        for (std::size_t j = 0; j < rows.size(); ++j) {
            EXPECT_EQ(rows[j].good, i == j) << i << " " << j;
            EXPECT_EQ(rows[j].value, i == j ? (j == 1 ? "Ready" : "Installed") : values[j]) << i << " " << j;
        }
    }

    // A failed install reads as such, optional or not, unless the component is there after all;
    // the headline counts the failures and claims success only without any.
    CompletionFacts failing{.varaFMInstalled = true, .varaHFFailed = true, .varaFMFailed = true, .hamlibFailed = true};
    const std::vector<SummaryRow> rows = completionSummary(failing);
    EXPECT_EQ(rows[2].value, "Failed");
    EXPECT_TRUE(rows[2].failed);
    EXPECT_EQ(rows[3].value, "Installed");
    EXPECT_FALSE(rows[3].failed);
    EXPECT_EQ(rows[4].value, "Failed");
    EXPECT_EQ(completionHeadline(rows).title, "Setup Finished");
    EXPECT_EQ(completionHeadline(rows).subtitle, "2 components need attention: retry them from the Setup page");
    EXPECT_EQ(completionHeadline(none),
              (CompletionHeadline{"checkmark.circle.fill", Tone::green, "Setup Complete!", "Cordavelle Helper is ready to use"}));
    EXPECT_FALSE(completionNeedsAttention(none));
    EXPECT_EQ(failedWizardSteps(rows), (std::vector<int>{vara, radioControl}));
}

TEST(WizardCompletionSummary, AnInstallStillRunningReadsInstallingAndNeverReady)
{
    struct Case {
        CompletionFacts facts;
        std::vector<QString> values;
        QString title;
        QString subtitle;
    };
    const Case cases[] = {
        {{.wineInstalling = true, .hamlibInstalling = true},
         {"Installing\u2026", "Not set up", "Not installed", "Not installed", "Installing\u2026", "Skipped"},
         "Almost Done",
         "2 installs are still running: they go on after Done, and the Setup page shows them"},
        // A copy already there reads as there while its update runs.
        {{.rigctldAvailable = true, .varaHFFailed = true, .hamlibInstalling = true},
         {"Not installed", "Not set up", "Failed", "Not installed", "Installed", "Skipped"},
         "Setup Finished",
         "1 component needs attention: retry it from the Setup page"},
        {{.varaHFFailed = true, .prefixInstalling = true},
         {"Not installed", "Installing\u2026", "Failed", "Not installed", "Skipped", "Skipped"},
         "Setup Finished",
         "1 component needs attention: retry it from the Setup page; 1 install is still running"},
    };
    for (const Case &c : cases) {
        const std::vector<SummaryRow> rows = completionSummary(c.facts);
        std::vector<QString> values;
        for (const SummaryRow &row : rows) {
            values.push_back(row.value);
        }
        EXPECT_EQ(values, c.values);
        EXPECT_EQ(completionHeadline(rows).title, c.title);
        EXPECT_EQ(completionHeadline(rows).subtitle, c.subtitle);
        EXPECT_TRUE(completionNeedsAttention(rows));
    }
}

// The page as the user reaches it after installs that could not reach their servers: it does
// not call set-up complete, and marks what failed among what was chosen.
TEST(WizardCompleteStep, AfterFailedInstallsItSaysWhatNeedsAttention)
{
    test::HelperObjects helper;
    test::SetupObjects setup(helper);
    WizardFeatures features;
    features.enableVARAFM = false;
    WizardCompleteStep step(setup.installers(), features);
    EXPECT_EQ(step.headline().title, "Setup Complete!");

    // The remote services' address has nothing listening: each install fails at its first request.
    setup.wine.startInstall();
    ASSERT_TRUE(setup.varaHF.startInstall());
    setup.hamlib.startInstall();
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return !setup.wine.isBusy() && !setup.varaHF.isInstalling() && !setup.hamlib.isRunning(); },
        std::chrono::seconds(20)));
    step.shown();

    std::vector<QString> values;
    for (const SummaryRow &row : step.summary()) {
        values.push_back(row.value);
    }
    EXPECT_EQ(values, (std::vector<QString>{"Failed", "Not set up", "Failed", "Not installed", "Failed", "Skipped"}));
    EXPECT_EQ(step.findChild<QLabel *>("wizardTitle")->text(), "Setup Finished");
    EXPECT_EQ(step.findChild<QLabel *>("wizardSubtitle")->text(),
              "3 components need attention: retry them from the Setup page");
}

// The wizard as the program makes it: a failed install marks its step instead of checking it
// off, and Done then sends the window to the Setup page.
TEST(SetupWizardWiring, AFailedInstallMarksItsStepAndDoneOpensSetup)
{
    test::HelperObjects helper;
    test::SetupObjects setup(helper);
    test::ScriptedAlertPresenter alerts;
    HelperSetupState state;
    std::vector<SidebarSection> selected;
    std::unique_ptr<QDialog> dialog(makeSetupWizard(setup.setupContext(alerts, state),
                                                    [&](SidebarSection s) { selected.push_back(s); }, nullptr));
    auto *wizard = static_cast<HelperSetupWizardView *>(dialog.get());
    wizard->show();
    wizard->navigateForward();
    // The Dependencies page starts the Wine download, which finds nothing listening.
    wizard->navigateForward();
    ASSERT_EQ(wizard->currentStep(), dependencies);
    ASSERT_TRUE(test::processEventsUntil([&] { return !setup.wine.isBusy(); }, std::chrono::seconds(20)));
    wizard->navigateForward();
    test::ManualClock::processEvents();
    EXPECT_EQ(wizard->stepIndicator()->failedSteps(), std::vector<int>{dependencies});
    EXPECT_EQ(stepIndicatorLook(dependencies, wizard->currentStep(), true).mark, StepIndicatorLook::Mark::failed);
    // A screen reader hears the mark too.
    EXPECT_TRUE(wizard->stepIndicator()->accessibleDescription().contains("Dependencies: needs attention"))
        << wizard->stepIndicator()->accessibleDescription().toStdString();

    while (wizard->currentStep() != complete) {
        wizard->navigateForward();
    }
    wizard->doneButton()->click();
    EXPECT_EQ(selected, std::vector<SidebarSection>{SidebarSection::setup});
}

TEST(WizardCompletionFacts, PackageManagerCopiesCountAndAPrefixNeedsItsRuntime)
{
    test::HelperObjects helper;
    test::SetupObjects setup(helper);
    const auto facts = [&] {
        const CompletionFacts f = gatherCompletionFacts(setup.installers());
        return std::vector<bool>{f.wineAvailable, f.prefixReady, f.varaHFInstalled, f.varaFMInstalled,
                                 f.rigctldAvailable, f.direwolfFound};
    };
    EXPECT_EQ(facts(), std::vector<bool>(6, false));

    ASSERT_TRUE(test::writeProgram(helper.env.hostPath("/usr/bin/wine")));
    ASSERT_TRUE(test::writeProgram(helper.env.hostPath("/usr/bin/rigctld")));
    ASSERT_TRUE(QDir().mkpath(WineEnvironment::system32Folder(places::winePrefix())));
    ASSERT_TRUE(test::writeFile(places::varaExecutable(VARAVariant::hf), "MZ"));
    EXPECT_EQ(facts(), (std::vector<bool>{true, false, true, false, true, false}));

    const QString system32 = WineEnvironment::system32Folder(places::winePrefix());
    ASSERT_TRUE(test::writeFile(system32 + "/msvbvm60.dll", "MZ"));
    ASSERT_TRUE(test::writeFile(system32 + "/pdh.dll", "MZ"));
    EXPECT_TRUE(facts()[1]);
}

} // namespace
} // namespace cordavelle
