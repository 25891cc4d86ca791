#include "app/single_instance.h"

#include "platform/clock.h"

#include "support/event_wait.h"
#include "support/manual_clock.h"
#include "support/task_outcome.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

TEST(SingleInstance, ALaterLaunchAsksTheFirstToReopenAndASocketLeftByACrashIsTakenOver)
{
    QTemporaryDir folder;
    const QString path = SingleInstance::socketPathFor(folder.path());
    EXPECT_EQ(path, SingleInstance::socketPathFor(folder.path() + "/."));
    EXPECT_NE(path, SingleInstance::socketPathFor(folder.path() + "/other"));

    auto first = std::make_unique<SingleInstance>(path);
    ASSERT_TRUE(first->claim());
    int reopens = 0;
    QObject::connect(first.get(), &SingleInstance::reopenRequested, [&] { ++reopens; });
    SingleInstance second(path);
    EXPECT_FALSE(second.claim());
    EXPECT_TRUE(test::processEventsUntil([&] { return reopens == 1; }));

    // The first one gone without cleaning up: its socket file stays behind.
    first.reset();
    QFile(path).open(QIODevice::WriteOnly);
    SingleInstance third(path);
    EXPECT_TRUE(third.claim());
}

// Whether the wait saw the process end, once it is over.
std::shared_ptr<test::TaskOutcome> waitForEnd(qint64 pid, std::chrono::milliseconds limit, Clock &clock, bool &ended)
{
    return test::track([](QCoro::Task<bool> wait, bool &result) -> QCoro::Task<void> {
        result = co_await std::move(wait);
    }(SingleInstance::waitForProcessToEnd(pid, limit, clock), ended));
}

TEST(SingleInstance, ARelaunchWaitsForTheOldProcessToEnd)
{
    test::ManualClock clock;
    QProcess old;
    old.start("sleep", {"600"});
    ASSERT_TRUE(old.waitForStarted());
    bool oldEnded = false;
    auto ended = waitForEnd(old.processId(), 5s, clock, oldEnded);
    clock.advance(4s);
    EXPECT_FALSE(ended->done);
    old.kill();
    ASSERT_TRUE(old.waitForFinished());
    clock.advance(100ms);
    EXPECT_TRUE(ended->done);
    EXPECT_TRUE(oldEnded);

    // This test's own process outlives any limit.
    bool staysEnded = true;
    auto gaveUp = waitForEnd(QCoreApplication::applicationPid(), 200ms, clock, staysEnded);
    clock.advance(200ms);
    EXPECT_TRUE(gaveUp->done);
    EXPECT_FALSE(staysEnded);
}

} // namespace
} // namespace cordavelle
