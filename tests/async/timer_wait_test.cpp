#include "async/timer_wait.h"

#include "support/task_outcome.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

TEST(AsyncTimerWait, FiresAfterItsTimeAlsoWhenMovedAndWakesEarlyOnStop)
{
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_TRUE(test::runToEnd([]() -> QCoro::Task<bool> {
        async::TimerWait wait(30ms, {});
        auto moved = std::move(wait);
        co_return co_await std::move(moved);
    }()));
    EXPECT_GE(elapsed.elapsed(), 30);

    std::stop_source stop;
    std::optional<bool> fired;
    auto wait = [&]() -> QCoro::Task<void> { fired = co_await async::TimerWait(10s, stop.get_token()); };
    auto run = test::track(wait());
    elapsed.restart();
    stop.request_stop();
    EXPECT_FALSE(fired) << "resumed inside request_stop()";
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }));
    EXPECT_EQ(fired, false);
    EXPECT_LT(elapsed.elapsed(), 5000);
    // A token stopped beforehand does not suspend at all.
    EXPECT_FALSE(test::runToEnd([&]() -> QCoro::Task<bool> { co_return co_await async::TimerWait(10s, stop.get_token()); }()));
}

} // namespace
} // namespace cordavelle
