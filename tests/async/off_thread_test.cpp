#include "async/off_thread.h"

#include "support/task_outcome.h"

#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

TEST(AsyncOffThread, RunsTheWorkElsewhereAndResumesOnTheCallersThreadAlsoWhenMoved)
{
    QThread *const caller = QThread::currentThread();
    std::atomic<QThread *> worker = nullptr;
    QThread *resumedOn = nullptr;
    const auto value = test::runToEnd([&]() -> QCoro::Task<std::optional<int>> {
        async::OffThread<int> work([&] {
            worker = QThread::currentThread();
            return 42;
        });
        auto moved = std::move(work);
        auto result = co_await std::move(moved);
        resumedOn = QThread::currentThread();
        co_return result;
    }());
    EXPECT_EQ(value, 42);
    EXPECT_NE(worker.load(), caller);
    EXPECT_EQ(resumedOn, caller);
}

TEST(AsyncOffThread, WithNoThreadToBeHadItResumesWithNothingAndTheWorkNeverRuns)
{
    std::atomic<bool> ran = false;
    std::function<int()> work = [&] {
        ran = true;
        return 1;
    };
    const auto value = test::runToEnd([&]() -> QCoro::Task<std::optional<int>> {
        co_return co_await async::OffThread<int>(std::move(work), {}, [](std::function<void()>) { return false; });
    }());
    EXPECT_EQ(value, std::nullopt);
    EXPECT_FALSE(ran);
}

TEST(AsyncOffThread, AStopWakesItWithNothingWhileTheWorkRunsOn)
{
    std::stop_source stop;
    std::atomic<bool> began = false;
    std::atomic<bool> release = false;
    std::atomic<bool> finished = false;
    bool resumed = false;
    std::optional<int> value = 0;
    // Goes with the work's function, which the thread object holds until it is deleted.
    auto held = std::make_shared<int>();
    const std::weak_ptr<int> threadObject = held;
    std::function<int()> work = [&, held = std::move(held)] {
        began = true;
        while (!release) {
            std::this_thread::sleep_for(1ms);
        }
        finished = true;
        return 7;
    };
    auto waitForWork = [&]() -> QCoro::Task<void> {
        value = co_await async::OffThread<int>(std::move(work), stop.get_token());
        resumed = true;
    };
    auto run = test::track(waitForWork());
    ASSERT_TRUE(test::processEventsUntil([&] { return began.load(); }));
    stop.request_stop();
    EXPECT_FALSE(resumed) << "resumed inside request_stop()";
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }));
    EXPECT_FALSE(value);
    EXPECT_FALSE(finished);
    release = true;
    EXPECT_TRUE(test::processEventsUntil([&] { return finished.load(); }));
    // The thread object goes once its thread has ended.
    EXPECT_TRUE(test::processEventsUntil([&] { return threadObject.expired(); }));
}

} // namespace
} // namespace cordavelle
