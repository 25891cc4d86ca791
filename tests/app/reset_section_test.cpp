#include "app/reset_section.h"
#include "app/reset_section_model.h"

#include "support/scripted_alert_presenter.h"
#include "support/task_outcome.h"

#include <QApplication>
#include <QCoroTimer>
#include <QTimer>
#include <QPushButton>
#include <QWidget>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using State = ResetSectionModel::State;

// A stand-in uninstaller, looked up only when a level runs; it answers once the test releases it.
struct StandInUninstaller {
    QCoro::Task<ResetReport> run(ResetLevel level)
    {
        levels.push_back(level);
        while (!released) {
            QTimer tick;
            tick.start(1);
            co_await tick;
        }
        co_return report;
    }
    std::vector<ResetLevel> levels;
    bool released = false;
    ResetReport report;
};

TEST(ResetTexts, TitlesConfirmLabelsAndPaths)
{
    EXPECT_EQ(reset_texts::alertTitle(ResetLevel::everything), "Reset Everything?");
    EXPECT_EQ(reset_texts::alertTitle(ResetLevel::prefix), "Reset Wine Prefix");
    EXPECT_EQ(reset_texts::confirmLabel(ResetLevel::prefix), "Reset Prefix");
    EXPECT_EQ(reset_texts::confirmationAlert(ResetLevel::everything, {}).style, Alert::Style::critical);
    EXPECT_EQ(reset_texts::confirmationAlert(ResetLevel::settings, {}).style, Alert::Style::warning);
    EXPECT_TRUE(reset_texts::alertMessage(ResetLevel::prefix, "~/x/wine-prefix").contains("directory (~/x/wine-prefix)."));
    EXPECT_EQ(fromRaw<ResetLevel>("prefix"), ResetLevel::prefix);
    EXPECT_EQ(fromRaw<ResetLevel>("Prefix"), std::nullopt);

    EXPECT_EQ(displayPath("/home/ann/.local/share/Cordavelle Helper", "/home/ann"), "~/.local/share/Cordavelle Helper");
    EXPECT_EQ(displayPath("/tmp/cordavelle-helper-0/winetricks-tools", "/home/ann"),
              "/tmp/cordavelle-helper-0/winetricks-tools");
}

TEST(ResetTexts, SheetEntriesFollowTheReport)
{
    const ResetSheet clean = resetSheet({}, false, "/home/ann");
    EXPECT_EQ(clean.title, "Reset complete");
    EXPECT_EQ(clean.symbolTone, Tone::green);
    EXPECT_TRUE(clean.entries.empty());
    EXPECT_TRUE(clean.warnings.isEmpty());
    EXPECT_EQ(clean.buttonLabel, "Done");

    ResetReport report{{"/home/ann/a", "/tmp/b"}, true, 1, true, {"Could not remove b: busy", "Could not remove b: busy"}};
    const ResetSheet full = resetSheet(report, true, "/home/ann");
    EXPECT_EQ(full.title, "Reset completed with warnings");
    EXPECT_EQ(full.symbolTone, Tone::orange);
    ASSERT_EQ(full.entries.size(), 4u);
    EXPECT_EQ(full.entries[0].text, "Removed 2 path(s):");
    EXPECT_EQ(full.entries[0].lines, (QStringList{"~/a", "/tmp/b"}));
    EXPECT_EQ(full.entries[1].text, "Cleared Helper settings");
    EXPECT_EQ(full.entries[2].text, "Removed 1 keyring item(s)");
    EXPECT_EQ(full.entries[3].text, "Unregistered Launch at Login");
    EXPECT_EQ(full.warnings.size(), 2);
    EXPECT_EQ(full.buttonLabel, "Quit");

    report.keychainItemsRemoved = 0;
    EXPECT_EQ(resetSheet(report, false, {}).entries.size(), 3u);
}

TEST(ResetSectionModel, IdleConfirmingRunningResultAndTheQuitOfTheFullReset)
{
    StandInUninstaller uninstaller;
    int quits = 0;
    ResetSectionModel model([&uninstaller](ResetLevel level) { return uninstaller.run(level); }, [&quits] { ++quits; });

    model.request(ResetLevel::settings);
    EXPECT_EQ(model.state(), State::confirming);
    EXPECT_FALSE(model.buttonsEnabled());
    model.cancel();
    EXPECT_EQ(model.state(), State::idle);
    EXPECT_TRUE(uninstaller.levels.empty());

    model.request(ResetLevel::everything);
    auto run = test::track(model.confirm());
    EXPECT_EQ(model.state(), State::running);
    model.request(ResetLevel::settings); // no second run meanwhile
    EXPECT_EQ(model.state(), State::running);
    uninstaller.report.userDefaultsCleared = true;
    uninstaller.released = true;
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }));
    EXPECT_EQ(model.state(), State::result);
    EXPECT_TRUE(model.wasFullReset());
    EXPECT_TRUE(model.report()->userDefaultsCleared);
    EXPECT_EQ(uninstaller.levels, std::vector{ResetLevel::everything});
    model.dismiss();
    EXPECT_EQ(model.state(), State::idle);
    EXPECT_EQ(quits, 1);

    model.request(ResetLevel::prefix);
    auto second = test::track(model.confirm());
    ASSERT_TRUE(test::processEventsUntil([&] { return second->done; }));
    model.dismiss();
    EXPECT_EQ(quits, 1); // only the full reset quits
}

TEST(ResetSectionWidget, ConfirmedLevelShowsTheSheetAndEscapeOnTheFullResetStillQuits)
{
    StandInUninstaller uninstaller;
    uninstaller.released = true;
    int quits = 0;
    ResetSectionModel model([&uninstaller](ResetLevel level) { return uninstaller.run(level); }, [&quits] { ++quits; });
    test::ScriptedAlertPresenter alerts;
    QWidget window;
    auto *section = new ResetSection(model, alerts, "/home/ann/.local/share/Cordavelle Helper/wine-prefix", "/home/ann",
                                     &window);
    window.show();

    alerts.answers = {1};
    section->button(ResetLevel::prefix)->click();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_TRUE(alerts.shown[0].informativeText.contains("(~/.local/share/Cordavelle Helper/wine-prefix)"));
    EXPECT_EQ(model.state(), State::idle);

    alerts.answers = {0};
    section->button(ResetLevel::everything)->click();
    ASSERT_TRUE(test::processEventsUntil([&] { return section->sheet() != nullptr; }));
    EXPECT_FALSE(section->button(ResetLevel::settings)->isEnabled());
    // Disabled, the full reset's button no longer reads as a red, pressable action.
    QPushButton *everything = section->button(ResetLevel::everything);
    EXPECT_NE(everything->palette().color(QPalette::Disabled, QPalette::ButtonText),
              everything->palette().color(QPalette::Active, QPalette::ButtonText));
    EXPECT_EQ(section->sheet()->button()->text(), "Quit");
    EXPECT_TRUE(section->sheet()->button()->isDefault());
    section->sheet()->reject(); // Escape
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(model.state(), State::idle);
    EXPECT_TRUE(section->button(ResetLevel::settings)->isEnabled());
}

} // namespace
} // namespace cordavelle
