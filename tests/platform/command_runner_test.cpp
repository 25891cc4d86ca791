#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/scoped_environment.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QCoroTask>
#include <QTimer>

#include <gtest/gtest.h>

#include <signal.h>

namespace cordavelle {
namespace {

Command shell(const QString &script)
{
    Command command;
    command.program = QStringLiteral("/bin/sh");
    command.arguments = {QStringLiteral("-c"), script};
    command.captureOutput = true;
    return command;
}

TEST(LinuxCommandRunner, RunsAToolToItsEndWithItsOutputAndStatus)
{
    test::TestPlatform env;
    env.useSystemTools();
    CommandRunner &runner = env.platform().commandRunner();
    const Command command = shell("echo out; echo err >&2; exit 3");

    const CommandResult blocking = runner.runAndWait(command);
    EXPECT_TRUE(blocking.started);
    EXPECT_FALSE(blocking.crashed);
    EXPECT_EQ(blocking.exitStatus, 3);
    EXPECT_EQ(blocking.standardOutput, QByteArray("out\n"));
    EXPECT_EQ(blocking.standardError, QByteArray("err\n"));

    const CommandResult async = QCoro::waitFor(runner.run(command));
    EXPECT_TRUE(async.started);
    EXPECT_EQ(async.exitStatus, 3);
    EXPECT_EQ(async.standardOutput, QByteArray("out\n"));
    EXPECT_EQ(async.standardError, QByteArray("err\n"));

    // Without capture both streams go nowhere.
    Command quiet = command;
    quiet.captureOutput = false;
    const CommandResult discarded = runner.runAndWait(quiet);
    EXPECT_EQ(discarded.exitStatus, 3);
    EXPECT_TRUE(discarded.standardOutput.isEmpty());
    EXPECT_TRUE(discarded.standardError.isEmpty());

    const CommandResult killed = runner.runAndWait(shell("kill -TERM $$"));
    EXPECT_TRUE(killed.started);
    EXPECT_TRUE(killed.crashed);
}

TEST(LinuxCommandRunner, AsyncRunKeepsTheEventLoopTurning)
{
    test::TestPlatform env;
    env.useSystemTools();
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    const CommandResult result = QCoro::waitFor(env.platform().commandRunner().run(shell("sleep 0.3")));
    EXPECT_TRUE(result.started);
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_GE(ticks, 10);
}

TEST(LinuxCommandRunner, StreamsMergedOutputToTheEndAndAStopEndsTheWholeGroup)
{
    test::TestPlatform env;
    env.useSystemTools();
    CommandRunner &runner = env.platform().commandRunner();
    QByteArray seen;
    // The last line comes right before the exit: it must still be handed over.
    const CommandResult result = QCoro::waitFor(runner.runStreaming(
        shell("echo one; echo two >&2; sleep 0.1; printf 'last words'; exit 2"), [&](const QByteArray &chunk) { seen += chunk; }));
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(seen, QByteArray("one\ntwo\nlast words"));
    EXPECT_TRUE(result.standardOutput.isEmpty());

    // A child of the tool holds the output open; the stop must end it too.
    const QString pidFile = env.root() + "/grandchild.pid";
    std::stop_source stop;
    QTimer::singleShot(300, [&] { stop.request_stop(); });
    QByteArray said;
    int64_t startedPid = 0;
    const CommandResult stopped = test::runToEnd(runner.runStreaming(
        shell("echo $$; sleep 30 & echo $! > " + pidFile + "; wait"), [&](const QByteArray &chunk) { said += chunk; },
        stop.get_token(), [&](int64_t pid) { startedPid = pid; }));
    EXPECT_TRUE(stopped.crashed);
    EXPECT_EQ(QByteArray::number(startedPid), said.trimmed());
    const pid_t grandchild = test::readBytes(pidFile).trimmed().toInt();
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(test::processEventsUntil([&] { return !test::isAlive(grandchild); }));
}

TEST(LinuxCommandRunner, AddsVariablesToTheHelpersOwnEnvironment)
{
    test::TestPlatform env;
    env.useSystemTools();
    test::ScopedEnvironment variables;
    variables.set("CORDAVELLE_INHERITED", "kept");
    variables.set("WINEPREFIX", "/inherited/prefix");
    Command command;
    command.program = QStringLiteral("/usr/bin/env");
    command.environment.insert(QStringLiteral("WINEPREFIX"), QStringLiteral("/helper/prefix"));
    command.captureOutput = true;

    for (const CommandResult &result :
         {env.platform().commandRunner().runAndWait(command), QCoro::waitFor(env.platform().commandRunner().run(command))}) {
        const QStringList lines = QString::fromUtf8(result.standardOutput).split('\n');
        EXPECT_TRUE(lines.contains("CORDAVELLE_INHERITED=kept"));
        EXPECT_TRUE(lines.contains("WINEPREFIX=/helper/prefix"));
        EXPECT_EQ(lines.filter("WINEPREFIX=").size(), 1);
    }
}

TEST(LinuxCommandRunner, AMissingToolFailsToStartWithTheUsersText)
{
    test::TestPlatform env;
    env.useSystemTools();
    Command command;
    command.program = QStringLiteral("/opt/nowhere/bin/no-such-tool");
    const CommandResult blocking = env.platform().commandRunner().runAndWait(command);
    const CommandResult async = QCoro::waitFor(env.platform().commandRunner().run(command));
    for (const CommandResult &result : {blocking, async}) {
        EXPECT_FALSE(result.started);
        EXPECT_EQ(result.launchError, QString::fromUtf8("The file \u201Cno-such-tool\u201D doesn\u2019t exist."));
    }
}

TEST(LinuxCommandRunner, FindsANamedToolInTheSystemFolders)
{
    // The test's locator keeps every named path and system folder below its root.
    test::TestPlatform env;
    env.platform().setCommandRunner(std::make_shared<LinuxCommandRunner>());
    const QString tool = env.hostPath("/bin/lsof");
    ASSERT_TRUE(test::writeProgram(tool, "#!/bin/sh\necho \"found $1\"\n"));

    Command command;
    command.program = QStringLiteral("/usr/sbin/lsof");
    command.arguments = {QStringLiteral("-t")};
    command.captureOutput = true;
    const CommandResult result = env.platform().commandRunner().runAndWait(command);
    EXPECT_TRUE(result.started) << result.launchError.toStdString();
    EXPECT_EQ(result.standardOutput, QByteArray("found -t\n"));
}

} // namespace
} // namespace cordavelle
