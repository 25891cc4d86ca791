#include "service_orchestrator_fixture.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using test::ServiceOrchestratorTest;

TEST_F(ServiceOrchestratorTest, IdleStopAfterTheDelayCancelledByANewStart)
{
    config.setIdleShutdownDelay(5);
    startAndWait(ServiceID::rigctld);
    orchestrator->stopServiceIdle(ServiceID::rigctld);
    env.clock().advance(299s);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::stopped; }, 2s));
    EXPECT_FALSE(orchestrator->idleShutdown().hasPendingIdleStop(ServiceID::rigctld));

    // A start within the delay cancels the pending stop.
    startAndWait(ServiceID::rigctld);
    orchestrator->stopServiceIdle(ServiceID::rigctld);
    env.clock().advance(200s);
    startAndWait(ServiceID::rigctld);
    env.clock().advance(1h);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);
}

TEST_F(ServiceOrchestratorTest, IdleDelayZeroStopsAtOnceAndMinusOneNever)
{
    config.setIdleShutdownDelay(-1);
    startAndWait(ServiceID::direwolf);
    orchestrator->startIdleMonitor();
    orchestrator->recordActivity(ServiceID::direwolf);
    orchestrator->stopServiceIdle(ServiceID::direwolf);
    env.clock().advance(2h);
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);

    config.setIdleShutdownDelay(0);
    orchestrator->stopServiceIdle(ServiceID::direwolf);
    // The caller still sees it running; the stop follows from the event loop.
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, 2s));
}

TEST_F(ServiceOrchestratorTest, IdleMonitorStopsStaleOnDemandServicesEveryMinute)
{
    config.setIdleShutdownDelay(1);
    setMode(ServiceID::varaHF, ServiceLifecycleMode::alwaysOn);
    startAndWait(ServiceID::varaHF);
    startAndWait(ServiceID::rigctld); // stamps rigctld's activity at 0 s
    orchestrator->startIdleMonitor();

    // The sweep at 60 s finds rigctld exactly one minute idle.
    env.clock().advance(59s);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::stopped; }, 1s));
    EXPECT_EQ(countSleeps(60s), 2);

    // Always-on services are never idle.
    env.clock().advance(10min);
    EXPECT_EQ(orchestrator->varaProcess().state(), ServiceRunState::running);
    EXPECT_EQ(countSleeps(60s), 12);
}

} // namespace
} // namespace cordavelle
