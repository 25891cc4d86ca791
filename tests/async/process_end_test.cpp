#include "async/process_end.h"

#include "support/child_processes.h"
#include "support/task_outcome.h"

#include <gtest/gtest.h>

#include <memory>

namespace cordavelle {
namespace {

TEST(AsyncProcessEnd, ResumesAfterTheFinishedSignalSoTheProcessMayGoAlsoWhenMoved)
{
    auto process = std::make_unique<QProcess>();
    bool deliveredToEveryone = false;
    std::optional<int> exitCode;
    auto startAndWait = [&]() -> QCoro::Task<void> {
        async::ProcessEnd ended(*process);
        // A receiver connected after the awaitable: it has run once the whole signal is over.
        QObject::connect(process.get(), &QProcess::finished, [&] { deliveredToEveryone = true; });
        process->start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 3")});
        auto moved = std::move(ended);
        EXPECT_TRUE(co_await std::move(moved));
        EXPECT_TRUE(deliveredToEveryone);
        exitCode = process->exitCode();
        process.reset(); // what a caller does with its process, which it may not do inside the signal
    };
    auto run = test::track(startAndWait());
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }, std::chrono::seconds(10)));
    EXPECT_EQ(exitCode, 3);
    EXPECT_FALSE(process);
}

TEST(AsyncProcessEnd, AStopWakesItBeforeTheProcessEnds)
{
    QProcess process;
    std::stop_source stop;
    std::optional<bool> ended;
    auto startAndWait = [&]() -> QCoro::Task<void> {
        async::ProcessEnd end(process, stop.get_token());
        process.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        ended = co_await std::move(end);
    };
    auto run = test::track(startAndWait());
    ASSERT_TRUE(process.waitForStarted());
    stop.request_stop();
    EXPECT_FALSE(ended);
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }));
    EXPECT_EQ(ended, false);
    EXPECT_EQ(process.state(), QProcess::Running);
    test::killProcess(process);
}

TEST(AsyncProcessEnd, AProgramThatCannotStartEndsTheWait)
{
    QProcess process;
    EXPECT_TRUE(test::runToEnd([&]() -> QCoro::Task<bool> {
        async::ProcessEnd ended(process);
        process.start(QStringLiteral("/opt/nowhere/no-such-program"));
        co_return co_await std::move(ended);
    }()));
    EXPECT_EQ(process.error(), QProcess::FailedToStart);
}

} // namespace
} // namespace cordavelle
