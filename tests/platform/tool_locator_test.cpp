#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

void makeFile(const QString &path, bool executable)
{
    ASSERT_TRUE(test::writeProgram(path, "#!/bin/sh\n", executable));
}

TEST(ToolLocator, KeepsTheNamedOrderAndSearchesTheSystemFoldersLast)
{
    test::TestPlatform env;
    ToolLocator &locator = env.platform().toolLocator();
    const QStringList named{"/opt/homebrew/bin/wine64", "/opt/homebrew/bin/wine", "/usr/local/bin/wine"};
    EXPECT_EQ(locator.candidates(named),
              QStringList({env.hostPath("/opt/homebrew/bin/wine64"), env.hostPath("/opt/homebrew/bin/wine"),
                           env.hostPath("/usr/local/bin/wine"), env.hostPath("/usr/bin/wine64"),
                           env.hostPath("/usr/bin/wine"), env.hostPath("/bin/wine64"), env.hostPath("/bin/wine")}));

    EXPECT_EQ(locator.firstExecutable(named), std::nullopt);
    makeFile(env.hostPath("/bin/wine"), true);
    EXPECT_EQ(locator.firstExecutable(named), env.hostPath("/bin/wine"));
    makeFile(env.hostPath("/usr/local/bin/wine"), false);
    EXPECT_EQ(locator.firstExecutable(named), env.hostPath("/bin/wine")) << "not executable: skipped";
    makeFile(env.hostPath("/opt/homebrew/bin/wine"), true);
    EXPECT_EQ(locator.firstExecutable(named), env.hostPath("/opt/homebrew/bin/wine"));
    EXPECT_EQ(locator.firstExecutable(named, [&](const QString &p) { return !p.contains("homebrew"); }),
              env.hostPath("/bin/wine"));
    // A folder is not a tool.
    QDir().mkpath(env.hostPath("/opt/homebrew/bin/wine64"));
    EXPECT_EQ(locator.firstExecutable(named), env.hostPath("/opt/homebrew/bin/wine"));
}

TEST(ToolLocator, ResolvesANamedToolToTheSystemFolders)
{
    test::TestPlatform env;
    ToolLocator &locator = env.platform().toolLocator();
    EXPECT_EQ(locator.resolve("/usr/sbin/lsof"), env.hostPath("/usr/sbin/lsof")) << "missing everywhere";
    makeFile(env.hostPath("/bin/lsof"), true);
    EXPECT_EQ(locator.resolve("/usr/sbin/lsof"), env.hostPath("/bin/lsof"));
    makeFile(env.hostPath("/usr/sbin/lsof"), true);
    EXPECT_EQ(locator.resolve("/usr/sbin/lsof"), env.hostPath("/usr/sbin/lsof"));

    SystemToolLocator system;
    EXPECT_EQ(system.resolve("/opt/nowhere/sh"), QStringLiteral("/usr/bin/sh"));
}

} // namespace
} // namespace cordavelle
