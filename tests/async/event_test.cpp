#include "async/event.h"

#include "support/manual_clock.h"
#include "support/task_outcome.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(AsyncEvent, ResumesFromTheEventLoopAfterSetAlsoWhenMovedAndWakesEarlyOnStop)
{
    async::Event event;
    bool inside = false;
    std::optional<bool> result;
    bool resumedInside = true;
    auto waitMoved = [&]() -> QCoro::Task<void> {
        auto wait = event.wait();
        auto moved = std::move(wait);
        result = co_await std::move(moved);
        resumedInside = inside;
    };
    auto run = test::track(waitMoved());
    inside = true;
    event.set();
    inside = false;
    EXPECT_FALSE(result) << "resumed inside set()";
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }));
    EXPECT_EQ(result, true);
    EXPECT_FALSE(resumedInside);
    // Once set, the event lets every later waiter through at once.
    EXPECT_TRUE(test::runToEnd([&]() -> QCoro::Task<bool> { co_return co_await event.wait(); }()));

    async::Event never;
    std::stop_source stop;
    std::optional<bool> stopped;
    auto waitNever = [&]() -> QCoro::Task<void> { stopped = co_await never.wait(stop.get_token()); };
    auto early = test::track(waitNever());
    // Every wake-up comes through the event loop: with nothing left queued, it is still waiting.
    test::ManualClock::processEvents();
    EXPECT_FALSE(stopped);
    stop.request_stop();
    EXPECT_FALSE(stopped) << "resumed inside request_stop()";
    ASSERT_TRUE(test::processEventsUntil([&] { return early->done; }));
    EXPECT_EQ(stopped, false);
    EXPECT_FALSE(never.isSet());
}

} // namespace
} // namespace cordavelle
