#include "widgets/accent_style.h"
#include "widgets/service_header.h"
#include "core/launch_verdict.h"
#include "core/managed_process.h"
#include "core/service_control.h"
#include "base/helper_error.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/orchestrator_fixture.h"
#include "support/task_outcome.h"
#include "support/test_platform.h"

#include <QCoroTimer>
#include <QLabel>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

TEST(ServiceHeader, RelativeTimeCountsWholeUnitsAgo)
{
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    const std::pair<qint64, const char *> cases[] = {
        {4, "just now"}, {5, "5s ago"},    {59, "59s ago"}, {60, "1m ago"}, {3599, "59m ago"},
        {3600, "1h ago"}, {86399, "23h ago"}, {86400, "1d ago"}, {-10, "just now"}, {200000, "2d ago"},
    };
    for (const auto &[secondsAgo, expected] : cases) {
        EXPECT_EQ(relativeTime(now.addSecs(-secondsAgo), now), expected) << secondsAgo;
    }
    // Fractions are cut, never rounded up to the next unit.
    EXPECT_EQ(relativeTime(now.addMSecs(-4999), now), "just now");
    EXPECT_EQ(relativeTime(now.addMSecs(-59999), now), "59s ago");
}

TEST(ServiceHeader, UptimeShowsMinutesAndSecondsThenHoursAndMinutes)
{
    const QDateTime start = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    const std::pair<qint64, const char *> cases[] = {
        {0, "0m 00s"}, {7, "0m 07s"}, {3599, "59m 59s"}, {3600, "1h 00m"}, {3900, "1h 05m"}, {90061, "25h 01m"},
    };
    for (const auto &[seconds, expected] : cases) {
        EXPECT_EQ(formattedUptime(start, ServiceRunState::running, start.addSecs(seconds)), expected) << seconds;
    }
    EXPECT_EQ(formattedUptime(start, ServiceRunState::stopped, start.addSecs(7)), "");
    EXPECT_EQ(formattedUptime(start, ServiceRunState::stopping, start.addSecs(7)), "");
    EXPECT_EQ(formattedUptime(std::nullopt, ServiceRunState::running, start), "");
}

TEST(ServiceHeader, ModelFollowsTheRunState)
{
    struct Case {
        ServiceRunState state;
        bool restarting;
        const char *label;
        bool enabled;
        bool stops;
        Tone tone;
        const char *text;
    };
    const Case cases[] = {
        {ServiceRunState::stopped, false, "Start", true, false, Tone::gray, "Stopped"},
        {ServiceRunState::starting, false, "Stop", true, true, Tone::yellow, "Starting"},
        {ServiceRunState::running, false, "Stop", true, true, Tone::green, "Running"},
        {ServiceRunState::running, true, "Stop", false, true, Tone::green, "Running"},
        {ServiceRunState::stopping, false, "Start", false, false, Tone::yellow, "Stopping"},
        {ServiceRunState::error, false, "Start", true, false, Tone::red, "Error"},
    };
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    for (const Case &c : cases) {
        ProcessSnapshot process;
        process.state = c.state;
        process.isRestartInProgress = c.restarting;
        process.startedAt = now.addSecs(-30);
        const auto model = ServiceHeaderModel::make(ServiceID::rigctld, process, now);
        EXPECT_EQ(model.buttonLabel, c.label) << c.text;
        EXPECT_EQ(model.buttonEnabled, c.enabled) << c.text;
        EXPECT_EQ(model.buttonDisabledReason.isEmpty(), c.enabled) << c.text << ": a disabled button says why";
        EXPECT_EQ(model.buttonStops, c.stops) << c.text;
        EXPECT_EQ(model.stateTone, c.tone) << c.text;
        EXPECT_EQ(model.stateText, c.text);
        // A start time left over from an earlier run shows no uptime.
        EXPECT_EQ(model.showsUptime, c.state == ServiceRunState::running) << c.text;
        EXPECT_EQ(model.name, "rigctld");
        EXPECT_FALSE(model.error);
        EXPECT_FALSE(model.launch);
    }
}

TEST(ServiceHeader, ErrorAndLaunchRowsFollowTheProcess)
{
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    ProcessSnapshot process;
    process.lastError = "Port 8300 not listening";
    process.lastLaunchCommand = "/usr/bin/rigctld -m 1 -t 4532";
    process.lastLaunchOutcome = LaunchOutcome::exitedWithCode(1);
    auto model = ServiceHeaderModel::make(ServiceID::varaHF, process, now);
    EXPECT_EQ(model.name, "VARA HF");
    EXPECT_EQ(model.error, "Port 8300 not listening");
    ASSERT_TRUE(model.launch);
    EXPECT_EQ(model.launch->command, "/usr/bin/rigctld -m 1 -t 4532");
    EXPECT_EQ(model.launch->outcome, "exit=1");
    EXPECT_EQ(model.launch->outcomeTone, Tone::red);
    EXPECT_FALSE(model.launch->when);

    process.lastLaunchOutcomeAt = now.addSecs(-125);
    const std::pair<LaunchOutcome, Tone> outcomes[] = {
        {LaunchOutcome::running(), Tone::green},
        {LaunchOutcome::killedBySignal(9), Tone::red},
        {LaunchOutcome::exitedCleanly(), Tone::secondary},
        {LaunchOutcome::neverStarted(), Tone::secondary},
        {LaunchOutcome::stopped(15), Tone::secondary},
    };
    for (const auto &[outcome, tone] : outcomes) {
        process.lastLaunchOutcome = outcome;
        model = ServiceHeaderModel::make(ServiceID::varaHF, process, now);
        EXPECT_EQ(model.launch->outcomeTone, tone) << outcome.displayLabel().toStdString();
        EXPECT_EQ(model.launch->when, "2m ago");
    }
}

// Every failed start reads "Error" with a red dot, also one that threw before anything ran and
// left the process stopped; a stop after a failure reads "Stopped" beside the old error.
TEST(ServiceHeader, AFailedStartReadsErrorWhateverStateItLeft)
{
    const struct {
        const char *what;
        ServiceRunState state;
        std::optional<QString> lastError;
        std::optional<QString> startError;
        const char *stateText;
        Tone tone;
    } cases[] = {
        {"VARA start that threw", ServiceRunState::stopped, std::nullopt, "VARA HF not installed", "Error", Tone::red},
        {"VARA modem that never answered", ServiceRunState::error,
         "VARA did not respond on port 8300 after 3 attempts (20s each). Check Wine and VARA installation.", std::nullopt,
         "Error", Tone::red},
        {"stopped by the user after a failure", ServiceRunState::stopped, "Process exited with code 1", std::nullopt,
         "Stopped", Tone::gray},
        {"never started", ServiceRunState::stopped, std::nullopt, std::nullopt, "Stopped", Tone::gray},
    };
    for (const auto &c : cases) {
        ProcessSnapshot process;
        process.state = c.state;
        process.lastError = c.lastError;
        process.startError = c.startError;
        const auto model = ServiceHeaderModel::make(ServiceID::varaHF, process, QDateTime::fromSecsSinceEpoch(0));
        EXPECT_EQ(model.stateText, c.stateText) << c.what;
        EXPECT_EQ(model.stateTone, c.tone) << c.what;
        EXPECT_EQ(model.buttonLabel, "Start") << c.what;
    }
}

TEST(ServiceHeader, ErrorRowShowsTheNewestErrorAndUnderALastErrorTheChildsLastLines)
{
    struct Case {
        const char *name;
        std::optional<QString> lastError;
        std::optional<QString> startError;
        QStringList endOutput;
        std::optional<QString> error;
        QStringList errorOutput;
    };
    const QStringList lines{"Could not open audio device", "Pointless to continue"};
    const Case cases[] = {
        {"nothing wrong", std::nullopt, std::nullopt, {}, std::nullopt, {}},
        {"a child that died while starting", "Direwolf exited during its start: Process exited with code 1", std::nullopt,
         lines, "Direwolf exited during its start: Process exited with code 1", lines},
        {"a start that threw", std::nullopt, "rigctld not found", {}, "rigctld not found", {}},
        // The child's lines belong to the older error, which the start error stands in front of.
        {"a throw after a death", "Process exited with code 1", "Wine not found", lines, "Wine not found", {}},
    };
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    for (const Case &c : cases) {
        ProcessSnapshot process;
        process.state = ServiceRunState::error;
        process.lastError = c.lastError;
        process.startError = c.startError;
        process.endOutput = c.endOutput;
        const auto model = ServiceHeaderModel::make(ServiceID::direwolf, process, now);
        EXPECT_EQ(model.error, c.error) << c.name;
        EXPECT_EQ(model.errorOutput, c.errorOutput) << c.name;
    }
}

// The orchestrator as the header sees it; records the calls, and lets the pre-stop step take a
// while on the clock so that a stop that does not wait for it shows.
class StandInControl final : public ServiceControl {
public:
    explicit StandInControl(Clock &clock) : m_clock(clock) {}

    ServiceStatus status(ServiceID) const override { return {}; }
    ServiceLifecycleMode lifecycleMode(ServiceID) const override { return ServiceLifecycleMode::onDemand; }
    QCoro::Task<void> startService(ServiceID id) override
    {
        calls << "start " + toRaw(id);
        throw HelperError::rigctldNotFound();
        co_return;
    }
    QCoro::Task<void> prepareToStopService(ServiceID id) override
    {
        calls << "prepare " + toRaw(id);
        co_await m_clock.sleep(500ms);
        calls << "prepared " + toRaw(id);
    }
    void stopService(ServiceID id) override { calls << "stop " + toRaw(id); }
    void showStartError(ServiceID id, const QString &error) override { calls << "start error " + toRaw(id) + ": " + error; }
    void recordActivity(ServiceID) override {}
    void stopServiceIdle(ServiceID) override {}

    QStringList calls;

private:
    Clock &m_clock;
};

TEST(ServiceHeader, ButtonStartsOrPreparesThenStops)
{
    test::TestPlatform env;
    StandInControl control(env.clock());
    ManagedProcess process(ServiceID::rigctld, env.clock());
    ServiceHeader header(ServiceID::rigctld, process, control, env.clock());

    EXPECT_EQ(header.button()->text(), "Start");
    header.button()->click();
    EXPECT_EQ(control.calls, QStringList({"start rigctld", "start error rigctld: rigctld not found"}));
    // The orchestrator keeps it on the process, which the row follows.
    process.setStartError(QStringLiteral("rigctld not found"));
    ASSERT_TRUE(test::processEventsUntil([&] { return header.model().error == "rigctld not found"; }));

    auto launch = test::track(process.start("/bin/sleep", {"30"}));
    ASSERT_TRUE(test::processEventsUntil([&] { return launch->done; }));
    ASSERT_FALSE(launch->error);
    process.markRunning();
    // The running state reaches the button and the uptime in turns of their own.
    ASSERT_TRUE(test::processEventsUntil([&] { return header.button()->text() == "Stop" && header.model().showsUptime; }));
    EXPECT_EQ(header.button()->text(), "Stop");
    EXPECT_TRUE(header.button()->tint());
    EXPECT_TRUE(header.model().showsUptime);

    control.calls.clear();
    // Once "Stop" has been there a moment, a press means it.
    env.clock().advance(StartStopMeaning::kSettleTime);
    header.button()->click();
    EXPECT_EQ(control.calls, QStringList({"prepare rigctld"}));
    env.clock().advance(500ms);
    EXPECT_EQ(control.calls, QStringList({"prepare rigctld", "prepared rigctld", "stop rigctld"}));

    process.setIsRestartInProgress(true);
    ASSERT_TRUE(test::processEventsUntil([&] { return !header.button()->isEnabled(); }));
    EXPECT_FALSE(header.button()->isEnabled());
    process.stop();
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::stopped; }));
}

TEST(ServiceHeader, UptimeTicksOnTheClock)
{
    test::TestPlatform env;
    StandInControl control(env.clock());
    ManagedProcess process(ServiceID::varaFM, env.clock());
    ServiceHeader header(ServiceID::varaFM, process, control, env.clock());
    auto *uptime = header.findChild<UptimeLabel *>();
    ASSERT_NE(uptime, nullptr);

    header.show();
    // Nothing ticks while the uptime is not shown.
    EXPECT_EQ(env.clock().sleeperCount(), 0u);
    auto launch = test::track(process.start("/bin/sleep", {"30"}));
    ASSERT_TRUE(test::processEventsUntil([&] { return launch->done; }));
    process.markRunning();
    ASSERT_TRUE(test::processEventsUntil([&] { return uptime->isVisible(); }));
    EXPECT_TRUE(uptime->isVisible());
    EXPECT_EQ(uptime->text(), "• 0m 00s");
    env.clock().advance(7s);
    EXPECT_EQ(uptime->text(), "• 0m 07s");
    env.clock().advance(3600s);
    EXPECT_EQ(uptime->text(), "• 1h 00m");
    process.stop();
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::stopped; }));
}

// The header over the real orchestrator, with an always-on rigctld that a plain child stands in
// for: its start clears up for 300 ms, launches, and calls the child ready 400 ms later.
class HeaderOverTheOrchestrator : public test::OrchestratorTest {
protected:
    HeaderOverTheOrchestrator()
    {
        watchChildren();
        config.setLifecycleMode(ServiceID::rigctld, ServiceLifecycleMode::alwaysOn);
        startPaths[ServiceID::rigctld] = [this](ServiceID, std::stop_token cancel) { return startRigctld(cancel); };
    }
    ~HeaderOverTheOrchestrator() override { shutDown(); }

    QCoro::Task<void> startRigctld(std::stop_token cancel)
    {
        const bool cleanedUp = co_await env.clock().sleep(300ms, cancel);
        if (!cleanedUp) {
            co_return;
        }
        ManagedProcess &process = orchestrator->rigctldProcess();
        ++launches;
        const bool dies = std::exchange(nextLaunchDies, false);
        const QStringList arguments{QStringLiteral("-c"), QStringLiteral("exec sleep 600")};
        co_await process.start(QStringLiteral("/bin/sh"), arguments, std::nullopt, std::nullopt, cancel);
        const bool settled = co_await env.clock().sleep(400ms, cancel);
        if (!settled) {
            co_return;
        }
        if (dies && test::signalChild(process.pid(), SIGKILL)) {
            // Real time: the child's end is seen from the event loop. The test's clock stands
            // still meanwhile: on a busy machine the health monitor's ticks would otherwise use up
            // the virtual time the restart after this failure needs.
            const test::ManualClock::Hold still = env.clock().hold();
            int i = 0;
            for (; process.state() == ServiceRunState::starting && i < 1000; ++i) {
                co_await QCoro::sleepFor(5ms);
            }
        }
        if (launchSurvived(process, QStringLiteral("rigctld"), cancel)) {
            process.markRunning();
        }
    }

    int launches = 0;
    bool nextLaunchDies = false;
};

// A press of Start at any moment of the back-off before a crash restart, or as the restart
// launches, leaves the always-on service running with one launch, never stopped.
TEST_F(HeaderOverTheOrchestrator, StartPressedDuringACrashRestartsPauseJoinsTheRestart)
{
    ServiceHeader header(ServiceID::rigctld, *orchestrator, env.clock());
    ManagedProcess &rigctld = orchestrator->rigctldProcess();
    auto first = start(ServiceID::rigctld);
    ASSERT_TRUE(env.clock().runUntil([&] { return first->done && rigctld.state() == ServiceRunState::running; }, 1s));

    // How the press lands at the restart's launch of its child.
    enum class AtLaunch {
        no,
        // Before the header is redrawn.
        beforeTheRedraw,
        // Begun before the redraw, let go after it.
        heldOverTheRedraw,
        // Just after the button has turned to "Stop".
        justAfterTheRedraw,
    };
    struct Case {
        const char *moment;
        std::chrono::milliseconds pressAt; // after the crash, when not at the launch
        AtLaunch atLaunch;
        // The launch of the start the press makes dies before it is ready.
        bool startDies;
        int launches;
    };
    const Case cases[] = {
        {"at once", 0ms, AtLaunch::no, false, 1},
        {"a second in", 1000ms, AtLaunch::no, false, 1},
        {"just before the restart", 1999ms, AtLaunch::no, false, 1},
        {"as the restart clears up", 2000ms, AtLaunch::no, false, 1},
        {"as the restart launches", 0ms, AtLaunch::beforeTheRedraw, false, 1},
        {"held as the restart launches", 0ms, AtLaunch::heldOverTheRedraw, false, 1},
        {"as the button turns to Stop", 0ms, AtLaunch::justAfterTheRedraw, false, 1},
        // Its child is starting when the restart comes, and dies afterwards: the restart goes on.
        {"with a start that dies", 1500ms, AtLaunch::no, true, 2},
    };
    int clicks = 0;
    QObject::connect(header.button(), &QPushButton::clicked, [&clicks] { ++clicks; });
    for (const Case &c : cases) {
        SCOPED_TRACE(c.moment);
        launches = 0;
        clicks = 0;
        nextLaunchDies = c.startDies;
        ASSERT_TRUE(test::signalChild(rigctld.pid(), SIGSEGV));
        ASSERT_TRUE(env.clock().runUntil([&] { return rigctld.state() == ServiceRunState::error; }, 0ms));
        ASSERT_TRUE(orchestrator->isRestartPending(ServiceID::rigctld));
        bool pressed = false;
        QMetaObject::Connection pressAtLaunch;
        if (c.atLaunch == AtLaunch::no) {
            env.clock().advance(c.pressAt);
            test::ManualClock::processEvents();
            ASSERT_EQ(header.button()->text(), "Start");
            header.button()->click();
            pressed = true;
        } else {
            test::ManualClock::processEvents();
            ASSERT_EQ(header.button()->text(), "Start");
            pressAtLaunch = QObject::connect(&rigctld, &ManagedProcess::stateChanged, &header, [&] {
                if (pressed || rigctld.state() != ServiceRunState::starting) {
                    return;
                }
                pressed = true;
                switch (c.atLaunch) {
                case AtLaunch::no:
                case AtLaunch::beforeTheRedraw: header.button()->click(); break;
                case AtLaunch::heldOverTheRedraw: header.button()->animateClick(); break;
                case AtLaunch::justAfterTheRedraw:
                    // Queued behind the header's redraw.
                    QMetaObject::invokeMethod(
                        &header,
                        [&header] {
                            EXPECT_EQ(header.button()->text(), "Stop");
                            header.button()->click();
                        },
                        Qt::QueuedConnection);
                    break;
                }
            });
        }
        const bool settled = env.clock().runUntil(
            [&] {
                return clicks == 1 && rigctld.state() == ServiceRunState::running &&
                       !orchestrator->isRestartPending(ServiceID::rigctld);
            },
            1min);
        QObject::disconnect(pressAtLaunch);
        ASSERT_TRUE(settled) << toRaw(rigctld.state()).toStdString() << ", clicks " << clicks;
        EXPECT_TRUE(pressed);
        test::ManualClock::processEvents();
        EXPECT_EQ(launches, c.launches);
        EXPECT_EQ(orchestrator->lifecycleMode(ServiceID::rigctld), ServiceLifecycleMode::alwaysOn);
        EXPECT_EQ(header.model().stateText, "Running");
        EXPECT_EQ(header.button()->text(), "Stop");
    }
}

} // namespace
} // namespace cordavelle
