#include "service_orchestrator_fixture.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using test::ServiceOrchestratorTest;

TEST_F(ServiceOrchestratorTest, CrashOfAnAlwaysOnServiceNotifiesAndRestartsAfterTwoSeconds)
{
    setMode(ServiceID::rigctld, ServiceLifecycleMode::alwaysOn);
    startAndWait(ServiceID::rigctld);
    crash(ServiceID::rigctld);

    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] rigctld exited unexpectedly: killed by signal 9 (SIGKILL)"));
    ASSERT_EQ(env.notifications().requests.size(), 1u);
    const NotificationRequest &notice = env.notifications().requests[0];
    EXPECT_EQ(notice.title, "rigctld stopped unexpectedly");
    EXPECT_EQ(notice.body, "Killed by signal 9 (SIGKILL). Helper will attempt to restart.");
    EXPECT_TRUE(notice.identifier.startsWith("service-crash-rigctld-1767268800.")) << notice.identifier.toStdString();
    EXPECT_TRUE(notice.sound);
    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] Scheduling restart of rigctld (attempt 1/5) in 2s"));
    EXPECT_TRUE(orchestrator->isRestartPending(ServiceID::rigctld));

    env.clock().advance(1999ms);
    EXPECT_EQ(launches[ServiceID::rigctld], 1);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::running; }, 1ms));
    EXPECT_EQ(launches[ServiceID::rigctld], 2);
    test::ManualClock::processEvents();
    EXPECT_FALSE(orchestrator->isRestartPending(ServiceID::rigctld));

    // The next crash starts a chain of its own, with a notice of its own.
    env.clock().advance(1s);
    crash(ServiceID::rigctld);
    ASSERT_EQ(env.notifications().requests.size(), 2u);
    EXPECT_NE(env.notifications().requests[1].identifier, notice.identifier);
    EXPECT_EQ(env.log().messages().filter("(attempt 1/5)").size(), 2);
}

TEST_F(ServiceOrchestratorTest, CrashOfAnOnDemandServiceIsOnlyLogged)
{
    startAndWait(ServiceID::direwolf);
    crash(ServiceID::direwolf);
    env.clock().advance(2min);
    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] direwolf exited unexpectedly: killed by signal 9 (SIGKILL)"));
    EXPECT_TRUE(env.notifications().requests.empty());
    EXPECT_FALSE(env.log().contains("Scheduling restart"));
    EXPECT_EQ(launches[ServiceID::direwolf], 1);
}

TEST_F(ServiceOrchestratorTest, FailingRestartsBackOffTwoToThirtyTwoSecondsThenGiveUp)
{
    setMode(ServiceID::varaFM, ServiceLifecycleMode::alwaysOn);
    startAndWait(ServiceID::varaFM);
    // Two attempts throw; the others return with the service still down, which fails too.
    int attempts = 0;
    startPaths[ServiceID::varaFM] = [&](ServiceID, std::stop_token) -> QCoro::Task<void> {
        if (++attempts <= 2) {
            throw std::runtime_error("no modem");
        }
        co_return;
    };
    crash(ServiceID::varaFM);

    env.clock().advance(2s + 4s + 8s + 16s + 32s - 1ms);
    EXPECT_EQ(attempts, 4);
    env.clock().advance(1ms);
    EXPECT_EQ(attempts, 5);
    env.clock().advance(1h);
    EXPECT_EQ(attempts, 5);
    EXPECT_FALSE(orchestrator->isRestartPending(ServiceID::varaFM));

    const QStringList scheduled = env.log().messages().filter("Scheduling restart of vara-fm");
    EXPECT_EQ(scheduled,
              (QStringList{"[ServiceOrchestrator] Scheduling restart of vara-fm (attempt 1/5) in 2s",
                           "[ServiceOrchestrator] Scheduling restart of vara-fm (attempt 2/5) in 4s",
                           "[ServiceOrchestrator] Scheduling restart of vara-fm (attempt 3/5) in 8s",
                           "[ServiceOrchestrator] Scheduling restart of vara-fm (attempt 4/5) in 16s",
                           "[ServiceOrchestrator] Scheduling restart of vara-fm (attempt 5/5) in 32s"}));
    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] Restart attempt 1 of vara-fm failed: no modem"));
    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] Restart attempt 3 of vara-fm failed: Process was killed by signal 9 (SIGKILL)"));
    EXPECT_TRUE(env.log().contains("Restart attempt 5 of vara-fm failed"));
    EXPECT_EQ(orchestrator->varaFMProcess().state(), ServiceRunState::error);
}

TEST_F(ServiceOrchestratorTest, UserStopDuringTheBackOffEndsTheChain)
{
    setMode(ServiceID::rigctld, ServiceLifecycleMode::alwaysOn);
    startAndWait(ServiceID::rigctld);
    startPaths[ServiceID::rigctld] = failing("rig not answering");
    crash(ServiceID::rigctld);
    env.clock().advance(2s); // attempt 1 fails, attempt 2 waits 4 s
    EXPECT_EQ(launches[ServiceID::rigctld], 2);
    orchestrator->stopService(ServiceID::rigctld);
    test::ManualClock::processEvents();
    EXPECT_FALSE(orchestrator->isRestartPending(ServiceID::rigctld));
    env.clock().advance(1h);
    EXPECT_EQ(launches[ServiceID::rigctld], 2);
    EXPECT_FALSE(env.log().contains("(attempt 3/5)"));

    // Switching to on-demand during a back-off lets the attempt run, but schedules nothing more.
    startPaths[ServiceID::rigctld] = launching("exec sleep 600");
    startAndWait(ServiceID::rigctld);
    startPaths[ServiceID::rigctld] = failing("rig not answering");
    crash(ServiceID::rigctld);
    setMode(ServiceID::rigctld, ServiceLifecycleMode::onDemand);
    env.clock().advance(1h);
    EXPECT_EQ(launches[ServiceID::rigctld], 4);
    EXPECT_EQ(env.log().messages().filter("Scheduling restart of rigctld").size(), 3);
}

TEST_F(ServiceOrchestratorTest, StopWhileARestartIsStartingKeepsItFromLaunching)
{
    // VARA HF's restart first has to stop VARA FM, whose child ignores SIGTERM; the user stops
    // VARA HF during that wait.
    setMode(ServiceID::varaHF, ServiceLifecycleMode::alwaysOn);
    startPaths[ServiceID::varaFM] = launchingStubborn();
    startAndWait(ServiceID::varaHF);
    crash(ServiceID::varaHF);
    startAndWait(ServiceID::varaFM);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->varaFMProcess().state() == ServiceRunState::stopping; }, 2s));
    orchestrator->stopService(ServiceID::varaHF);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->varaFMProcess().state() == ServiceRunState::stopped; }, 5s));
    env.clock().advance(1min);
    EXPECT_EQ(launches[ServiceID::varaHF], 1);
    EXPECT_EQ(orchestrator->varaProcess().state(), ServiceRunState::error);
}

} // namespace
} // namespace cordavelle
