#include "async/first_of.h"
#include "async/timer_wait.h"

#include "support/manual_clock.h"
#include "support/task_outcome.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using Factory = std::function<QCoro::Task<int>(std::stop_token)>;

// A task that answers `value` after `delay`, or -1 when stopped first; it notes its end.
Factory after(std::chrono::milliseconds delay, int value, std::vector<int> &ended)
{
    return [delay, value, &ended](std::stop_token stop) -> QCoro::Task<int> {
        const bool fired = co_await async::TimerWait(delay, stop);
        ended.push_back(value);
        co_return fired ? value : -1;
    };
}

TEST(AsyncFirstOf, AnswersTheFirstToEndAfterStoppingAndAwaitingTheOthers)
{
    std::vector<int> ended;
    const auto first = test::runToEnd(async::firstOf<int>({after(10s, 1, ended), after(20ms, 2, ended), after(10s, 3, ended)}));
    EXPECT_EQ(first.index, 1u);
    EXPECT_EQ(first.value, 2);
    // The shared stop token woke the slow ones, and none outlived the call.
    EXPECT_EQ(ended.size(), 3u);
    EXPECT_EQ(ended.front(), 2);
}

TEST(AsyncFirstOf, RethrowsWhatTheFirstThrewAndPassesAnOuterStopOn)
{
    std::vector<int> ended;
    Factory failing = [](std::stop_token) -> QCoro::Task<int> {
        co_await async::TimerWait(10ms, {});
        throw std::runtime_error("no modem answered");
    };
    EXPECT_THROW(test::runToEnd(async::firstOf<int>({after(10s, 1, ended), failing})), std::runtime_error);
    EXPECT_EQ(ended, std::vector<int>{1});

    ended.clear();
    std::stop_source stop;
    auto run = test::track(async::firstOf<int>({after(10s, 1, ended), after(10s, 2, ended)}, stop.get_token()));
    test::ManualClock::processEvents();
    ASSERT_FALSE(run->done);
    stop.request_stop();
    EXPECT_TRUE(test::processEventsUntil([&] { return run->done; }));
    EXPECT_EQ(ended.size(), 2u);
}

} // namespace
} // namespace cordavelle
