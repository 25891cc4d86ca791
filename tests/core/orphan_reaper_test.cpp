#include "base/helper_places.h"
#include "core/orphan_reaper.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

void makeTool(const QString &path) { ASSERT_TRUE(test::writeProgram(path)); }

QCoro::Task<void> killRigctld(test::TestPlatform &env, bool &done)
{
    co_await OrphanReaper(env.commands(), env.clock()).killStaleProcesses(QStringLiteral("rigctld"));
    done = true;
}

TEST(OrphanReaper, KillsOwnChildrenThenTheUsersOwnProcessesOfExactlyTheNameThenSettles)
{
    test::TestPlatform env;
    // One line per process signalled, whatever the language: one child, then two of the user's.
    int run = 0;
    env.commands().respond("pkill", [&](const Command &) {
        return CommandResult::exited(0, run++ == 0 ? "rigctld killed (pid 11)\n" : "rigctld get\u00f6tet (PID 12)\nrigctld get\u00f6tet (PID 13)\n");
    });
    bool done = false;
    auto task = killRigctld(env, done);

    // Run as root, the second sweep must still spare other users' rigctld and "rigctld-wrapper".
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const QString uid = QString::number(::getuid());
    EXPECT_EQ(env.commands().journal, (QStringList{"/usr/bin/pkill -9 -e -P " + pid + " rigctld",
                                                   "/usr/bin/pkill -9 -e -x -U " + uid + " rigctld"}));
    for (const auto &call : env.commands().calls) {
        EXPECT_FALSE(call.blocking) << "pkill must not block the main thread";
    }
    EXPECT_FALSE(done) << "waits for the killed processes to go";
    env.clock().advance(499ms);
    EXPECT_FALSE(done);
    env.clock().advance(1ms);
    EXPECT_TRUE(done);
    EXPECT_EQ(env.clock().sleepLog(), std::vector<std::chrono::milliseconds>{500ms});
    ASSERT_EQ(env.log().entries.size(), 1u);
    EXPECT_EQ(env.log().entries[0].message, "Swept stray rigctld processes of this user: 3 ended");
    EXPECT_EQ(env.log().entries[0].level, LogLevel::Info);
}

TEST(OrphanReaper, APkillThatCannotStartIsLoggedAndTheRestStillHappens)
{
    test::TestPlatform env;
    env.commands().respond("pkill", CommandResult::failedToStart("The file \u201Cpkill\u201D doesn\u2019t exist."));
    bool done = false;
    auto task = killRigctld(env, done);
    env.clock().advance(500ms);

    EXPECT_TRUE(done);
    EXPECT_EQ(env.commands().calls.size(), 2u);
    ASSERT_EQ(env.log().entries.size(), 3u);
    EXPECT_EQ(env.log().entries[0].message, "pkill child 'rigctld' failed: The file \u201Cpkill\u201D doesn\u2019t exist.");
    EXPECT_EQ(env.log().entries[1].message, "pkill 'rigctld' failed: The file \u201Cpkill\u201D doesn\u2019t exist.");
    EXPECT_EQ(env.log().entries[2].message, "Swept stray rigctld processes of this user: 0 ended");
    for (const auto &entry : env.log().entries) {
        EXPECT_EQ(entry.level, entry.message.startsWith("Swept") ? LogLevel::Info : LogLevel::Error);
        EXPECT_EQ(entry.category, "OrphanReaper");
        EXPECT_EQ(entry.subsystem, "com.cordavelle.helper");
    }
}

TEST(OrphanReaper, WithoutAnyWineThereIsNoWineServerToStop)
{
    test::TestPlatform env;
    OrphanReaper reaper(env.commands(), env.clock());
    reaper.killWineserver();
    EXPECT_TRUE(env.commands().calls.empty());
    EXPECT_TRUE(env.log().entries.empty());
}

TEST(OrphanReaper, StopsOnlyTheFirstWineServerFoundOnTheHelpersPrefix)
{
    test::TestPlatform env;
    makeTool(env.hostPath("/usr/bin/wineserver"));
    makeTool(env.hostPath("/usr/local/bin/wineserver"));
    OrphanReaper reaper(env.commands(), env.clock());
    reaper.killWineserver();
    ASSERT_EQ(env.commands().calls.size(), 1u);
    EXPECT_EQ(env.commands().calls[0].command.program, env.hostPath("/usr/local/bin/wineserver"));

    makeTool(env.hostPath("/opt/homebrew/bin/wineserver"));
    makeTool(places::ownWineserver());
    reaper.killWineserver();
    ASSERT_EQ(env.commands().calls.size(), 2u);
    const auto &call = env.commands().calls[1];
    EXPECT_TRUE(call.blocking) << "waits for the wine server on the caller's thread";
    EXPECT_EQ(call.command.program, places::ownWineserver());
    EXPECT_EQ(call.command.arguments, QStringList{"-k"});
    EXPECT_EQ(call.command.environment,
              (QMap<QString, QString>{
                  {"WINEPREFIX", env.platform().paths().applicationSupport() + "/Cordavelle Helper/wine-prefix"}}));
    EXPECT_FALSE(call.command.captureOutput);
    EXPECT_TRUE(env.log().entries.empty());
}

TEST(OrphanReaper, AWineServerThatCannotStartIsLogged)
{
    test::TestPlatform env;
    makeTool(env.hostPath("/bin/wineserver"));
    env.commands().respond("wineserver", CommandResult::failedToStart("Permission denied"));
    OrphanReaper(env.commands(), env.clock()).killWineserver();
    ASSERT_EQ(env.log().entries.size(), 1u);
    EXPECT_EQ(env.log().entries[0].message, "Failed to kill wineserver: Permission denied");
    EXPECT_EQ(env.log().entries[0].category, "OrphanReaper");
    EXPECT_EQ(env.log().entries[0].level, LogLevel::Error);
}

} // namespace
} // namespace cordavelle
