#include "base/log_line_buffer.h"
#include "core/managed_process.h"

#include "support/test_platform.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(LogLineBuffer, SplitsOnLineFeedsAndKeepsThePartialLine)
{
    LogLineBuffer buffer;
    EXPECT_EQ(buffer.append("one\ntwo\r\nthr"), QStringList({"one", "two"}));
    EXPECT_EQ(buffer.pending(), "thr");
    EXPECT_EQ(buffer.append("ee\n"), QStringList({"three"}));

    // Empty lines vanish; only a carriage return right before the line feed is dropped.
    EXPECT_TRUE(buffer.append("\n\n\r\n").isEmpty());
    EXPECT_EQ(buffer.append("a\rb\r\r\n"), QStringList({"a\rb\r"}));

    EXPECT_EQ(buffer.append("bad \xff byte\n"), QStringList({QString::fromUtf8("bad \xef\xbf\xbd byte")}));

    buffer.append("left over");
    buffer.reset();
    EXPECT_EQ(buffer.append("fresh\n"), QStringList({"fresh"}));

    // At the child's end the partial line is its last line.
    buffer.append("last \xff\r");
    EXPECT_EQ(buffer.finish(), QStringList({QString::fromUtf8("last \xef\xbf\xbd")}));
    EXPECT_TRUE(buffer.finish().isEmpty());
    buffer.append("\r");
    EXPECT_TRUE(buffer.finish().isEmpty());
}

TEST(LogLineBuffer, AnOverlongLineKeepsOnlyItsNewestHalfMebibyte)
{
    LogLineBuffer buffer;
    QByteArray chunk(LogLineBuffer::kMaxBytes, 'a');
    chunk.append('z');
    EXPECT_TRUE(buffer.append(chunk).isEmpty());
    ASSERT_EQ(buffer.pending().size(), LogLineBuffer::kKeptBytes);
    EXPECT_TRUE(buffer.pending().endsWith("az"));

    const QStringList lines = buffer.append("\n");
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines.first().size(), LogLineBuffer::kKeptBytes);
}

TEST(ManagedProcess, SyntheticLinesAndClearingKeepTheLogCapped)
{
    test::TestPlatform env;
    ManagedProcess process(ServiceID::rigctld, env.clock());
    int changes = 0;
    QObject::connect(&process, &ManagedProcess::logLinesChanged, [&] { ++changes; });

    for (int i = 1; i <= ManagedProcess::kMaxLogLines; ++i) {
        process.appendSyntheticLog(QString::number(i));
    }
    process.appendSyntheticLog("newest");
    EXPECT_EQ(changes, ManagedProcess::kMaxLogLines + 1);
    ASSERT_EQ(process.logLines().size(), ManagedProcess::kMaxLogLines);
    EXPECT_EQ(process.logLines().first(), "2");
    EXPECT_EQ(process.logLines().last(), "newest");

    process.clearLog();
    EXPECT_TRUE(process.logLines().isEmpty());
    process.clearLog();
    EXPECT_EQ(changes, ManagedProcess::kMaxLogLines + 2);
}

TEST(ManagedProcess, AnIdleProcessIgnoresStopAndMarkRunning)
{
    test::TestPlatform env;
    ManagedProcess process(ServiceID::direwolf, env.clock());
    int stateChanges = 0;
    QObject::connect(&process, &ManagedProcess::stateChanged, [&] { ++stateChanges; });

    process.stop();
    process.markRunning();
    EXPECT_EQ(process.state(), ServiceRunState::stopped);
    EXPECT_EQ(stateChanges, 0);
    EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::neverStarted());
    EXPECT_FALSE(process.uptime());
    EXPECT_FALSE(process.lastLaunchCommand());
    EXPECT_EQ(env.clock().sleeperCount(), 0u);
}

} // namespace
} // namespace cordavelle
