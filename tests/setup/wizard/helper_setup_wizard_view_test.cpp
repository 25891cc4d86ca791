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

#include "widgets/setting_note.h"

#include "support/event_wait.h"
#include "support/refusing_defaults.h"
#include "support/scripted_alert_presenter.h"
#include "support/setup_objects.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QMouseEvent>
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

    // A click on a row's title flips its switch, as one on the switch does.
    QLabel *title = nullptr;
    for (QLabel *label : page->findChildren<QLabel *>()) {
        title = label->text() == "Radio Control (Hamlib)" ? label : title;
    }
    ASSERT_NE(title, nullptr);
    for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
        const QPointF at = title->rect().center();
        QMouseEvent click(type, at, title->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(title, &click);
    }
    EXPECT_TRUE(page->featureSwitch(2)->isChecked());
    page->featureSwitch(2)->click();

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

TEST(SetupWizard, DoneThatCannotBeStoredLeavesTheWizardUpAndSaysWhy)
{
    test::TestPlatform env;
    test::RefusingDefaults defaults;
    HelperSetupState state;
    state.setShowWizard(true);
    HelperSetupWizardView wizard{state, defaults, [](int, WizardFeatures &) -> WizardStep * { return new CountingStep; }};
    wizard.show();
    while (wizard.currentStep() != complete) {
        wizard.navigateForward();
    }
    defaults.refusal = "Read-only file system";
    wizard.doneButton()->click();
    EXPECT_TRUE(wizard.isVisible());
    EXPECT_TRUE(state.showWizard());
    EXPECT_EQ(SettingNote::of(wizard.doneButton())->shown(),
              "Read-only file system. The setup stays unfinished and shows again at the next launch.");

    defaults.refusal.reset();
    wizard.doneButton()->click();
    EXPECT_FALSE(wizard.isVisible());
    EXPECT_TRUE(defaults.boolForKey(ConfigStore::Keys::kHasCompletedHelperSetup));
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

// What the last page and the step indicator make of the installs: every chosen component that is
// not there needs attention, one not chosen is skipped, and a next step is offered only when it
// can be taken.
TEST(WizardCompletionSummary, ChosenComponentsCountNextStepsCanBeTakenStepsTickOnlyWhenDone)
{
    using P = StepProgress;
    struct Case {
        const char *what;
        CompletionFacts facts;
        std::vector<QString> values;
        QString subtitle;
        QStringList next;
        // Dependencies, VARA, Radio Control, Packet.
        std::vector<P> steps;
    };
    const QString open = "Open Cordavelle on your computer to connect";
    const QString rig = "Configure your radio in the rigctld section";
    const QString vara = "Start VARA from the management window or via Cordavelle";
    const Case cases[] = {
        {"Wine failed, everything else chosen and missing", {.wineFailed = true},
         {"Failed", "Not set up", "Not installed", "Not installed", "Not installed", "Not installed"},
         "6 components need attention: see the next steps below",
         {"Install Wine, Wine Prefix, VARA HF, VARA FM, Hamlib (rigctld) from the Setup page",
          "Install Direwolf from the Direwolf page", open},
         {P::failed, P::skipped, P::skipped, P::skipped}},
        {"VARA HF alone chosen and in place",
         {.wineAvailable = true, .prefixReady = true, .varaHFInstalled = true, .varaFMChosen = false,
          .hamlibChosen = false, .direwolfChosen = false},
         {"Installed", "Ready", "Installed", "Skipped", "Skipped", "Skipped"}, "Cordavelle Helper is ready to use",
         {open, vara}, {P::done, P::done, P::skipped, P::skipped}},
        {"Hamlib still downloading, Direwolf found",
         {.direwolfFound = true, .hamlibInstalling = true, .wineChosen = false, .varaHFChosen = false,
          .varaFMChosen = false},
         {"Skipped", "Skipped", "Skipped", "Skipped", "Installing\u2026", "Installed"},
         "1 install is still running: it goes on after Done, and the Setup page shows it", {open},
         {P::skipped, P::skipped, P::installing, P::done}},
        {"Wine downloading while the VARA step was passed without an install",
         {.rigctldAvailable = true, .direwolfFound = true, .wineInstalling = true},
         {"Installing\u2026", "Not set up", "Not installed", "Not installed", "Installed", "Installed"},
         "3 components need attention: see the next steps below; 1 install is still running",
         {"Install Wine Prefix, VARA HF, VARA FM from the Setup page", open, rig},
         {P::installing, P::skipped, P::done, P::done}},
        {"two installs failed, the rest in place",
         {.wineAvailable = true, .prefixReady = true, .varaFMInstalled = true, .rigctldAvailable = false,
          .direwolfFound = true, .varaHFFailed = true, .hamlibFailed = true},
         {"Installed", "Ready", "Failed", "Installed", "Failed", "Installed"},
         "2 components need attention: retry them from the Setup page",
         {"Install VARA HF, Hamlib (rigctld) from the Setup page", open, vara},
         {P::done, P::failed, P::failed, P::done}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<SummaryRow> rows = completionSummary(c.facts);
        std::vector<QString> values;
        for (const SummaryRow &row : rows) {
            values.push_back(row.value);
        }
        EXPECT_EQ(values, c.values);
        EXPECT_EQ(completionHeadline(rows).subtitle, c.subtitle);
        EXPECT_EQ(completionNeedsAttention(rows), c.subtitle != "Cordavelle Helper is ready to use");
        EXPECT_EQ(completionNextSteps(rows), c.next);
        const std::vector<P> progress = wizardStepProgress(rows);
        EXPECT_EQ(std::vector<P>(progress.begin() + dependencies, progress.begin() + complete), c.steps);
        EXPECT_EQ(progress[welcome], P::done);
        EXPECT_EQ(progress[features], P::done);
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
    // Nothing chosen is there yet.
    EXPECT_EQ(step.headline().title, "Setup Finished");

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
    EXPECT_EQ(values, (std::vector<QString>{"Failed", "Not set up", "Failed", "Skipped", "Failed", "Not installed"}));
    EXPECT_EQ(step.findChild<QLabel *>("wizardTitle")->text(), "Setup Finished");
    EXPECT_EQ(step.findChild<QLabel *>("wizardSubtitle")->text(),
              "5 components need attention: see the next steps below");
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
    EXPECT_EQ(wizard->stepIndicator()->stepProgress().at(dependencies), StepProgress::failed);
    EXPECT_EQ(stepIndicatorLook(dependencies, wizard->currentStep(), StepProgress::failed).mark,
              StepIndicatorLook::Mark::failed);
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
