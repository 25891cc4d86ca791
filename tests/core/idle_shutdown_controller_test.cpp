#include "core/idle_shutdown_controller.h"

#include "support/test_platform.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

using namespace cordavelle;
using namespace std::chrono_literals;

namespace {

// Plays the orchestrator: a set of running on-demand services, and a stop that, like the
// orchestrator's, cancels the service's pending idle stop.
struct Services {
    int delay = 5;
    std::set<ServiceID> running;
    std::set<ServiceID> alwaysOn;
    struct Stop {
        ServiceID id;
        std::chrono::seconds at;
    };
    std::vector<Stop> stops;
    test::ManualClock *clock = nullptr;
    Clock::SteadyTime origin;
    std::unique_ptr<IdleShutdownController> controller;

    explicit Services(test::ManualClock &c) : clock(&c), origin(c.now())
    {
        controller = std::make_unique<IdleShutdownController>(
            [this] { return delay; },
            [this](ServiceID id) { return running.contains(id) && !alwaysOn.contains(id); },
            [this](ServiceID id) -> QCoro::Task<void> {
                stops.push_back({id, std::chrono::duration_cast<std::chrono::seconds>(clock->now() - origin)});
                running.erase(id);
                controller->cancelIdleTimer(id);
                co_return;
            },
            c);
    }

    std::chrono::seconds elapsed() const
    {
        return std::chrono::duration_cast<std::chrono::seconds>(clock->now() - origin);
    }
};

} // namespace

TEST(IdleShutdownControllerTest, DelayedStopFiresAfterTheDelayAndRestartsOnARepeatedRequest)
{
    test::TestPlatform env;
    Services s(env.clock());
    s.running = {ServiceID::varaHF, ServiceID::rigctld};

    s.controller->stopServiceIdle(ServiceID::varaHF);
    EXPECT_TRUE(s.controller->hasPendingIdleStop(ServiceID::varaHF));
    env.clock().advance(120s);
    // A second request moves the stop to 120 s + 5 min.
    s.controller->stopServiceIdle(ServiceID::varaHF);
    env.clock().advance(299s);
    EXPECT_TRUE(s.stops.empty());
    env.clock().advance(1s);
    ASSERT_EQ(s.stops.size(), 1u);
    EXPECT_EQ(s.stops[0].id, ServiceID::varaHF);
    EXPECT_EQ(s.stops[0].at, 420s);
    EXPECT_FALSE(s.controller->hasPendingIdleStop(ServiceID::varaHF));
    EXPECT_TRUE(s.running.contains(ServiceID::rigctld));
}

TEST(IdleShutdownControllerTest, StartCancelsThePendingStop)
{
    test::TestPlatform env;
    Services s(env.clock());
    s.running = {ServiceID::direwolf};

    s.controller->stopServiceIdle(ServiceID::direwolf);
    env.clock().advance(200s);
    s.controller->cancelIdleTimer(ServiceID::direwolf);
    env.clock().advance(1h);
    EXPECT_TRUE(s.stops.empty());
    EXPECT_FALSE(s.controller->hasPendingIdleStop(ServiceID::direwolf));
}

TEST(IdleShutdownControllerTest, DelayZeroStopsRightAfterTheCallerAndMinusOneNever)
{
    test::TestPlatform env;
    Services s(env.clock());
    s.running = {ServiceID::varaFM};
    s.controller->startIdleMonitor();

    s.delay = -1;
    s.controller->recordActivity(ServiceID::varaFM);
    s.controller->stopServiceIdle(ServiceID::varaFM);
    env.clock().advance(3h);
    EXPECT_TRUE(s.stops.empty());
    EXPECT_FALSE(s.controller->hasPendingIdleStop(ServiceID::varaFM));
    EXPECT_TRUE(s.controller->lastActivity(ServiceID::varaFM).has_value());

    s.delay = 0;
    s.controller->stopServiceIdle(ServiceID::varaFM);
    // Not inside the call: the client's reply still shows the service running.
    EXPECT_TRUE(s.stops.empty());
    test::ManualClock::processEvents();
    ASSERT_EQ(s.stops.size(), 1u);
    EXPECT_EQ(s.stops[0].at, 3h);

    // With delay 0 the monitor never stops anything, however old the activity.
    s.running = {ServiceID::varaFM};
    env.clock().advance(3h);
    EXPECT_EQ(s.stops.size(), 1u);
}

TEST(IdleShutdownControllerTest, NegativeDelayOtherThanNeverStopsAtOnceThroughThePendingEntry)
{
    test::TestPlatform env;
    Services s(env.clock());
    s.running = {ServiceID::rigctld};
    s.delay = -5;
    s.controller->stopServiceIdle(ServiceID::rigctld);
    EXPECT_TRUE(s.stops.empty());
    test::ManualClock::processEvents();
    ASSERT_EQ(s.stops.size(), 1u);
    // The stop removed its own entry: nothing is left that would make the monitor skip it.
    EXPECT_FALSE(s.controller->hasPendingIdleStop(ServiceID::rigctld));
}

TEST(IdleShutdownControllerTest, MonitorSweepsEveryMinuteAndStopsOnlyStaleEligibleServices)
{
    test::TestPlatform env;
    Services s(env.clock());
    s.delay = 1;
    s.running = {ServiceID::varaHF, ServiceID::varaFM, ServiceID::rigctld, ServiceID::direwolf};
    s.alwaysOn = {ServiceID::rigctld};
    s.controller->startIdleMonitor();
    EXPECT_TRUE(s.controller->isIdleMonitorRunning());

    // varaHF: activity at 30 s, so the sweep at 60 s finds it 30 s old and the one at 120 s
    // stops it. rigctld is always-on, direwolf has never seen a client, varaFM has a delayed
    // stop pending (which the monitor leaves alone).
    env.clock().advance(30s);
    s.controller->recordActivity(ServiceID::varaHF);
    s.controller->recordActivity(ServiceID::rigctld);
    s.delay = 5;
    s.controller->stopServiceIdle(ServiceID::varaFM);
    s.delay = 1;
    env.clock().advance(1s);

    env.clock().advance(88s);
    EXPECT_TRUE(s.stops.empty());
    env.clock().advance(1s);
    ASSERT_EQ(s.stops.size(), 1u);
    EXPECT_EQ(s.stops[0].id, ServiceID::varaHF);
    EXPECT_EQ(s.stops[0].at, 120s);

    env.clock().advance(209s);
    ASSERT_EQ(s.stops.size(), 1u);
    // The pending stop keeps the delay it began with: 30 s + 5 min.
    env.clock().advance(1s);
    ASSERT_EQ(s.stops.size(), 2u);
    EXPECT_EQ(s.stops[1].id, ServiceID::varaFM);
    EXPECT_EQ(s.stops[1].at, 330s);
    EXPECT_TRUE(s.running.contains(ServiceID::rigctld));
    EXPECT_TRUE(s.running.contains(ServiceID::direwolf));

    // One sleep of 60 s per sweep, never overlapping.
    std::size_t monitorSleeps = 0;
    for (auto d : env.clock().sleepLog()) {
        monitorSleeps += d == 60s ? 1 : 0;
    }
    EXPECT_EQ(monitorSleeps, 6u);
}

TEST(IdleShutdownControllerTest, RestartingTheMonitorRestartsItsPeriod)
{
    test::TestPlatform env;
    Services s(env.clock());
    s.delay = 1;
    s.running = {ServiceID::direwolf};
    s.controller->recordActivity(ServiceID::direwolf);
    s.controller->startIdleMonitor();
    env.clock().advance(50s);
    s.controller->startIdleMonitor();
    env.clock().advance(59s);
    EXPECT_TRUE(s.stops.empty()); // the first monitor's sweep at 60 s never ran
    env.clock().advance(1s);
    ASSERT_EQ(s.stops.size(), 1u);
    EXPECT_EQ(s.stops[0].at, 110s);
    EXPECT_EQ(env.clock().sleeperCount(), 1u);
}

TEST(IdleShutdownControllerTest, StopIdleMonitorEndsSweepsAndPendingStopsButKeepsActivity)
{
    test::TestPlatform env;
    Services s(env.clock());
    s.delay = 1;
    s.running = {ServiceID::varaHF, ServiceID::rigctld};
    s.controller->recordActivity(ServiceID::varaHF);
    s.controller->startIdleMonitor();
    s.controller->stopServiceIdle(ServiceID::rigctld);
    test::ManualClock::processEvents();

    s.controller->stopIdleMonitor();
    EXPECT_FALSE(s.controller->isIdleMonitorRunning());
    EXPECT_FALSE(s.controller->hasPendingIdleStop(ServiceID::rigctld));
    env.clock().advance(1h);
    EXPECT_TRUE(s.stops.empty());
    EXPECT_EQ(env.clock().sleeperCount(), 0u);
    EXPECT_TRUE(s.controller->lastActivity(ServiceID::varaHF).has_value());
}

TEST(IdleShutdownControllerTest, ReleasedControllerStopsNothing)
{
    test::TestPlatform env;
    Services s(env.clock());
    s.delay = 1;
    s.running = {ServiceID::varaHF};
    s.controller->recordActivity(ServiceID::varaHF);
    s.controller->startIdleMonitor();
    s.controller->stopServiceIdle(ServiceID::varaHF);
    test::ManualClock::processEvents();
    s.controller.reset();
    env.clock().advance(1h);
    EXPECT_TRUE(s.stops.empty());
    EXPECT_EQ(env.clock().sleeperCount(), 0u);
}
