#include "install/wine_prefix_manager.h"

#include "core/config_store.h"
#include "core/wine_prefix_hold.h"
#include "core/managed_process.h"
#include "install/install_log.h"
#include "platform/cancellation.h"

#include "support/child_processes.h"
#include "support/fixed_prefix_tools.h"
#include "support/recording_service_control.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

// The set-up's runner over real /bin/sh children, with the time limit on the manual clock.
class WinePrefixRunner : public ::testing::Test {
protected:
    test::TestPlatform env;
    ConfigStore config{env.defaults(), env.platform()};
    test::RecordingServiceControl services;
    WinePrefixHold prefixHold;
    InstallLog installLog{env.clock(), env.log(), env.root()};
    test::FixedPrefixTools prefixTools;
    WinePrefixManager manager{{config, installLog, services, prefixHold, env.clock(), env.platform().toolLocator(),
                               env.root() + "/wine-prefix", prefixTools}};

    // Starts `script` under /bin/sh as the step "Test step".
    std::shared_ptr<test::TaskOutcome> run(const QString &script, std::stop_token stop = {})
    {
        return test::track(manager.runProcess("/bin/sh", {"-c", script}, QProcessEnvironment::systemEnvironment(),
                                              "Test step", stop));
    }

    bool finish(const std::shared_ptr<test::TaskOutcome> &outcome)
    {
        return env.clock().runUntil([&] { return outcome->done; }, 1s);
    }

    // The on-screen lines without their time stamps.
    QStringList shownLines() const
    {
        QStringList lines = manager.logLines();
        lines.replaceInStrings(QRegularExpression("^\\[\\d\\d:\\d\\d:\\d\\d\\] "), "");
        return lines;
    }

    QStringList fileLines()
    {
        installLog.flush();
        QStringList lines = QString::fromUtf8(test::readBytes(installLog.logFile())).split('\n', Qt::SkipEmptyParts);
        // The file's own stamp, then the one of the manager's lines.
        lines.replaceInStrings(QRegularExpression("^(\\[[^]]*\\] )+"), "");
        return lines;
    }

    qint64 pidIn(const QString &file) { return test::readBytes(file).trimmed().toLongLong(); }
};

TEST_F(WinePrefixRunner, OutputSplitAtEitherLineBreakReachesBothLogsBeforeTheExit)
{
    // Ends without a line break and holds a line that is not UTF-8, which is dropped.
    const auto outcome = run("printf 'a\\r\\nb\\n'; printf '\\377\\376\\n'; printf 'last'");
    ASSERT_TRUE(finish(outcome));
    EXPECT_EQ(outcome->error, std::nullopt);
    const QStringList expected{"Running: /bin/sh -c printf 'a\\r\\nb\\n'; printf '\\377\\376\\n'; printf 'last'", "a",
                               "b", "last", "Process exited with code 0"};
    EXPECT_EQ(shownLines(), expected);
    EXPECT_EQ(fileLines(), expected);
}

TEST_F(WinePrefixRunner, KeepsTheNewestThousandLinesOnScreenAndEveryLineInTheFile)
{
    const auto outcome = run("seq 1 1500");
    ASSERT_TRUE(finish(outcome));
    // The run's opening line and the first 500 of output have gone; only output trims, so the
    // exit line comes on top.
    const QStringList shown = shownLines();
    ASSERT_EQ(shown.size(), 1001);
    EXPECT_EQ(shown.at(0), "501");
    EXPECT_EQ(shown.at(999), "1500");
    EXPECT_EQ(shown.at(1000), "Process exited with code 0");
    EXPECT_EQ(fileLines().size(), 1502);
}

TEST_F(WinePrefixRunner, ANonZeroExitOrASignalFailsTheStepWithItsNumber)
{
    const auto failed = run("exit 3");
    ASSERT_TRUE(finish(failed));
    EXPECT_EQ(failed->error, "Test step failed (exit code 3)");
    EXPECT_EQ(shownLines().last(), "Process exited with code 3");

    // cancel() ends the tool with SIGTERM; here the exit is noticed, so the step fails with 15.
    const QString pidFile = env.root() + "/pid";
    const auto terminated = run("echo $$ > '" + pidFile + "'; exec sleep 600");
    ASSERT_TRUE(env.clock().runUntil([&] { return pidIn(pidFile) > 0; }, 1s));
    manager.cancel();
    ASSERT_TRUE(finish(terminated));
    EXPECT_EQ(terminated->error, "Test step failed (exit code 15)");
    EXPECT_FALSE(test::isAlive(pidIn(pidFile)));
    EXPECT_EQ(manager.state(), WinePrefixManager::State::idle());
}

TEST_F(WinePrefixRunner, TheTimeLimitOrACancelledTaskEndsTheTool)
{
    const QString pidFile = env.root() + "/pid";
    const auto timedOut = run("echo $$ > '" + pidFile + "'; exec sleep 600");
    ASSERT_TRUE(env.clock().runUntil([&] { return pidIn(pidFile) > 0; }, 1s));
    env.clock().advance(299s);
    test::ManualClock::processEvents();
    EXPECT_FALSE(timedOut->done);
    env.clock().advance(1s);
    ASSERT_TRUE(finish(timedOut));
    EXPECT_EQ(timedOut->error, "Test step timed out after 5 minutes");
    EXPECT_TRUE(env.clock().runUntil([&] { return !test::isAlive(pidIn(pidFile)); }, 1s));
    EXPECT_FALSE(shownLines().last().startsWith("Process exited"));

    QFile::remove(pidFile);
    std::stop_source stop;
    const auto cancelled = run("echo $$ > '" + pidFile + "'; exec sleep 600", stop.get_token());
    ASSERT_TRUE(env.clock().runUntil([&] { return pidIn(pidFile) > 0; }, 1s));
    stop.request_stop();
    ASSERT_TRUE(finish(cancelled));
    EXPECT_EQ(cancelled->error, "Cancelled");
    EXPECT_TRUE(env.clock().runUntil([&] { return !test::isAlive(pidIn(pidFile)); }, 1s));
    // Neither run leaves its time limit waiting.
    EXPECT_EQ(env.clock().sleeperCount(), 0u);
}

TEST_F(WinePrefixRunner, AToolThatCannotBeLaunchedFailsWithoutAnExitLine)
{
    const auto outcome = test::track(manager.runProcess(env.root() + "/missing", {}, QProcessEnvironment::systemEnvironment(),
                                                        "Test step", {}));
    ASSERT_TRUE(finish(outcome));
    ASSERT_TRUE(outcome->error.has_value());
    // With no arguments the command line ends in a blank.
    EXPECT_EQ(shownLines(), QStringList{"Running: " + env.root() + "/missing "});
}

} // namespace
} // namespace cordavelle
