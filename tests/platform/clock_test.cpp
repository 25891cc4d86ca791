#include "support/test_platform.h"

#include <QCoroTask>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

QCoro::Task<void> sleepThrice(Clock &clock, std::vector<int> &order, int id, std::chrono::milliseconds each)
{
    int i = 0;
    for (; i < 3; ++i) {
        co_await clock.sleep(each);
        order.push_back(id);
    }
}

TEST(ManualClock, RunsLongSleepsInstantlyInDeadlineOrder)
{
    test::ManualClock clock;
    std::vector<int> order;
    const auto start = clock.now();
    const auto wallStart = clock.wallNow();

    QElapsedTimer real;
    real.start();
    auto a = sleepThrice(clock, order, 1, 20s);
    auto b = sleepThrice(clock, order, 2, 15s);
    clock.advance(60s);

    EXPECT_LT(real.elapsed(), 1000);
    // Deadlines: b 15, a 20, b 30, a 40, b 45, a 60.
    EXPECT_EQ(order, (std::vector<int>{2, 1, 2, 1, 2, 1}));
    EXPECT_TRUE(a.isReady());
    EXPECT_TRUE(b.isReady());
    EXPECT_EQ(clock.now() - start, 60s);
    EXPECT_EQ(clock.wallNow() - wallStart, 60s);
}

TEST(ManualClock, EqualDeadlinesResumeInTheOrderTheyBegan)
{
    test::ManualClock clock;
    std::vector<int> order;
    auto record = [&](int id) -> QCoro::Task<void> {
        co_await clock.sleep(5s);
        order.push_back(id);
    };
    auto t1 = record(1);
    auto t2 = record(2);
    auto t3 = record(3);
    clock.advance(4s);
    EXPECT_TRUE(order.empty());
    clock.advance(1s);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(ManualClock, StopRequestWakesASleeperOnceAndEarly)
{
    test::ManualClock clock;
    std::stop_source source;
    int wakes = 0;
    bool result = true;
    auto sleeper = [&]() -> QCoro::Task<void> {
        result = co_await clock.sleep(60s, source.get_token());
        ++wakes;
    };
    auto task = sleeper();
    clock.advance(1s);
    EXPECT_EQ(wakes, 0);
    source.request_stop();
    source.request_stop();
    test::ManualClock::processEvents();
    EXPECT_EQ(wakes, 1);
    EXPECT_FALSE(result);
    EXPECT_EQ(clock.sleeperCount(), 0u);
    clock.advance(120s);
    EXPECT_EQ(wakes, 1);

    // Once stopped, every later sleep returns at once (and never suspends).
    bool again = true;
    auto sleepAgain = [&]() -> QCoro::Task<void> { again = co_await clock.sleep(10s, source.get_token()); };
    auto later = sleepAgain();
    EXPECT_TRUE(later.isReady());
    EXPECT_FALSE(again);
}

TEST(ManualClock, ZeroSleepDoesNotSuspend)
{
    test::ManualClock clock;
    auto task = clock.sleep(0ms);
    EXPECT_TRUE(task.isReady());
}

TEST(SystemClock, SleepsForRealAndWakesOnStop)
{
    SystemClock clock;
    QElapsedTimer elapsed;
    elapsed.start();
    EXPECT_TRUE(QCoro::waitFor(clock.sleep(50ms)));
    EXPECT_GE(elapsed.elapsed(), 49);

    std::stop_source source;
    QTimer::singleShot(20, [&] { source.request_stop(); });
    elapsed.restart();
    EXPECT_FALSE(QCoro::waitFor(clock.sleep(10s, source.get_token())));
    EXPECT_LT(elapsed.elapsed(), 2000);
}

} // namespace
} // namespace cordavelle
