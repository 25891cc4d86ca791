#include "app/status_menu.h"
#include "app/tray_glyph.h"

#include "support/event_wait.h"
#include "support/manual_clock.h"
#include "support/recording_service_control.h"
#include "support/scripted_alert_presenter.h"

#include <QAccessible>
#include <QAction>
#include <QLabel>
#include <QWidgetAction>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using RunState = ServiceRunState;
using Mode = ServiceLifecycleMode;

TEST(TrayColour, OnlyVaraHFAndRigctldCountAndErrorWins)
{
    struct Case {
        RunState vara;
        Mode varaMode;
        RunState rig;
        Mode rigMode;
        TrayColor expected;
    };
    const Case cases[] = {
        {RunState::running, Mode::disabled, RunState::error, Mode::disabled, TrayColor::primary},
        {RunState::running, Mode::onDemand, RunState::stopped, Mode::disabled, TrayColor::green},
        {RunState::running, Mode::onDemand, RunState::stopped, Mode::onDemand, TrayColor::primary},
        {RunState::starting, Mode::alwaysOn, RunState::error, Mode::onDemand, TrayColor::red},
        {RunState::running, Mode::onDemand, RunState::running, Mode::alwaysOn, TrayColor::green},
        {RunState::running, Mode::onDemand, RunState::stopping, Mode::onDemand, TrayColor::yellow},
        {RunState::stopped, Mode::onDemand, RunState::starting, Mode::onDemand, TrayColor::yellow},
        {RunState::error, Mode::disabled, RunState::stopped, Mode::onDemand, TrayColor::primary},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(menuBarColor(c.vara, c.varaMode, c.rig, c.rigMode), c.expected)
            << int(c.vara) << ' ' << int(c.varaMode) << ' ' << int(c.rig) << ' ' << int(c.rigMode);
    }
}

QStringList describe(const std::vector<StatusMenuEntry> &entries)
{
    QStringList rows;
    for (const auto &e : entries) {
        switch (e.kind) {
        case StatusMenuEntry::Kind::service:
            rows << e.text + '|' + e.actionWord + '|' + QString::number(int(e.state));
            break;
        case StatusMenuEntry::Kind::separator:
            rows << QStringLiteral("---");
            break;
        case StatusMenuEntry::Kind::bonjour:
            rows << QStringLiteral("bonjour:") + e.text + (e.dimmed ? QStringLiteral(" (dimmed)") : QString());
            break;
        default:
            rows << e.text;
        }
    }
    return rows;
}

TEST(StatusMenuEntries, ServiceRowsFollowModesAndStatesAndTheBonjourRowTheAdvertisedName)
{
    test::RecordingServiceControl services;
    for (ServiceID id : allCases<ServiceID>()) {
        services.modes[id] = Mode::disabled;
    }
    EXPECT_EQ(describe(statusMenuEntries(services, std::nullopt)),
              (QStringList{"---", "bonjour:Not advertising (dimmed)", "---", "Open Helper...", "Quit"}));

    services.modes[ServiceID::varaHF] = Mode::alwaysOn;
    services.modes[ServiceID::rigctld] = Mode::onDemand;
    services.modes[ServiceID::direwolf] = Mode::onDemand;
    services.states[ServiceID::varaHF] = RunState::running;
    services.states[ServiceID::rigctld] = RunState::starting;
    services.states[ServiceID::direwolf] = RunState::error;
    // VARA FM runs but is disabled: no row.
    services.states[ServiceID::varaFM] = RunState::running;
    EXPECT_EQ(describe(statusMenuEntries(services, QStringLiteral("Shack (2)"))),
              (QStringList{"VARA HF|Stop|2", "rigctld|Start|1", "Direwolf|Start|4", "---", "bonjour:Shack (2)", "---",
                           "Open Helper...", "Quit"}));

    // A start from a window that failed before anything ran leaves the service stopped.
    services.states[ServiceID::rigctld] = RunState::stopped;
    services.showStartError(ServiceID::rigctld, QStringLiteral("rigctld not found"));
    EXPECT_EQ(statusMenuEntries(services, std::nullopt)[1].state, RunState::error);
}

TEST(StatusMenuQuit, AsksWithTheRunningServicesInOrderUsingIsOrAre)
{
    EXPECT_EQ(servicesStillRunningAlert({ServiceID::direwolf}).informativeText,
              "Direwolf is still running. Quit anyway?");
    const Alert two = servicesStillRunningAlert({ServiceID::varaHF, ServiceID::rigctld});
    EXPECT_EQ(two.message, "Services Still Running");
    EXPECT_EQ(two.informativeText, "VARA HF, rigctld are still running. Quit anyway?");
    EXPECT_EQ(two.buttons, (QStringList{"Quit", "Cancel"}));

    test::RecordingServiceControl services;
    services.modes[ServiceID::varaFM] = Mode::disabled;
    services.states[ServiceID::varaFM] = RunState::running;
    services.states[ServiceID::direwolf] = RunState::running;
    services.states[ServiceID::rigctld] = RunState::starting;
    // Disabled services count; starting ones don't.
    EXPECT_EQ(runningServices(services), (std::vector{ServiceID::varaFM, ServiceID::direwolf}));
}

class StatusMenuWidget : public ::testing::Test, public AdvertisedName {
protected:
    std::optional<QString> advertisedName() override { return advertised; }

    StatusMenu::Actions actions()
    {
        StatusMenu::Actions a;
        a.openHelper = [this] { services.calls << "open helper"; };
        a.terminate = [this] { services.calls << "terminate"; };
        return a;
    }

    QAction *action(StatusMenu &menu, const QString &textStart)
    {
        for (QAction *a : menu.actions()) {
            if (a->text().startsWith(textStart)) {
                return a;
            }
        }
        return nullptr;
    }

    test::RecordingServiceControl services;
    test::ScriptedAlertPresenter alerts;
    std::optional<QString> advertised;
    test::ManualClock clock;
};

TEST_F(StatusMenuWidget, ItemsToggleServicesWithoutWaitingAndDropStartErrors)
{
    services.states[ServiceID::rigctld] = RunState::running;
    StatusMenu menu(services, alerts, *this, actions(), clock);
    // The dot's colour is said in words to assistive technology, which reads the row's text.
    ASSERT_NE(action(menu, "rigctld \u2014 Running\tStop"), nullptr);
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(&menu);
    ASSERT_NE(face, nullptr);
    QAccessibleInterface *row = face->child(int(menu.actions().indexOf(action(menu, "rigctld"))));
    ASSERT_NE(row, nullptr);
    EXPECT_TRUE(row->text(QAccessible::Name).startsWith("rigctld \u2014 Running"));
    action(menu, "rigctld")->trigger();
    // The click returns before the work begins.
    EXPECT_TRUE(services.calls.isEmpty());
    ASSERT_TRUE(test::processEventsUntil([&] { return services.calls.size() == 2; }));
    EXPECT_EQ(services.calls, (QStringList{"prepare rigctld", "stop rigctld"}));

    services.calls.clear();
    services.startFailure = HelperError::wineNotFound();
    action(menu, "VARA HF \u2014 Stopped\tStart")->trigger();
    ASSERT_TRUE(test::processEventsUntil([&] { return services.calls.size() == 2; }));
    // No alert: the error goes to the service's own error line.
    EXPECT_EQ(services.calls, (QStringList{"start vara-hf", "start error vara-hf: Wine not found"}));
    EXPECT_TRUE(alerts.shown.empty());

    // While open, the menu follows the states.
    services.states[ServiceID::varaHF] = RunState::running;
    menu.scheduleRefresh();
    ASSERT_TRUE(test::processEventsUntil([&] { return action(menu, "VARA HF \u2014 Running\tStop") != nullptr; }));
    // A click just as the word turns to "Stop" starts, which joins what is under way; once the
    // word has been there a moment, it stops.
    services.calls.clear();
    services.startFailure.reset();
    action(menu, "VARA HF \u2014 Running\tStop")->trigger();
    ASSERT_TRUE(test::processEventsUntil([&] { return !services.calls.isEmpty(); }));
    EXPECT_EQ(services.calls, QStringList{"start vara-hf"});
    clock.advance(StartStopMeaning::kSettleTime);
    action(menu, "VARA HF \u2014 Running\tStop")->trigger();
    ASSERT_TRUE(test::processEventsUntil([&] { return services.calls.size() == 3; }));
    EXPECT_EQ(services.calls, (QStringList{"start vara-hf", "prepare vara-hf", "stop vara-hf"}));
    action(menu, "Open Helper...")->trigger();
    EXPECT_EQ(services.calls.last(), "open helper");
}

TEST_F(StatusMenuWidget, QuitStopsEveryServiceInOrderWithThePreStopBeforeRigctldThenTerminates)
{
    services.states[ServiceID::varaHF] = RunState::running;
    StatusMenu menu(services, alerts, *this, actions(), clock);

    alerts.answers = {1};
    menu.quit();
    ASSERT_TRUE(test::processEventsUntil([&] { return !alerts.shown.empty(); }));
    // Whatever the answer set going has run once nothing is left queued.
    test::ManualClock::processEvents();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].informativeText, "VARA HF is still running. Quit anyway?");
    EXPECT_TRUE(services.calls.isEmpty());

    alerts.answers = {0};
    menu.quit();
    ASSERT_TRUE(test::processEventsUntil([&] { return services.calls.contains("terminate"); }));
    EXPECT_EQ(services.calls, (QStringList{"stop vara-hf", "stop vara-fm", "prepare rigctld", "stop rigctld",
                                           "stop direwolf", "terminate"}));

    // With nothing running there is no question, and the stops happen all the same.
    services.calls.clear();
    menu.quit();
    ASSERT_TRUE(test::processEventsUntil([&] { return services.calls.contains("terminate"); }));
    EXPECT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(services.calls.size(), 6);
}

TEST_F(StatusMenuWidget, TheBonjourRowInformsOnly)
{
    advertised = QStringLiteral("<b>Shack</b>");
    StatusMenu menu(services, alerts, *this, actions(), clock);
    auto *row = qobject_cast<QWidgetAction *>(action(menu, "<b>Shack</b>"));
    ASSERT_NE(row, nullptr);
    EXPECT_FALSE(row->isEnabled());
    auto *text = row->defaultWidget()->findChild<QLabel *>(QStringLiteral("bonjourText"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->textFormat(), Qt::PlainText);
    const QPalette palette = text->palette();
    EXPECT_EQ(palette.color(QPalette::Disabled, QPalette::WindowText),
              palette.color(QPalette::Active, QPalette::WindowText));
}

} // namespace
} // namespace cordavelle
