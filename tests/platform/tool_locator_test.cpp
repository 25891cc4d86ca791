#include "platform/program_search.h"

#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

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

// Every look-up that meets a copy others could change before a clean one takes the clean one, and
// names the one it passed over.
TEST(ToolLocator, EveryLookUpPassesOverACopyOthersCouldChangeForACleanOne)
{
    const auto chmod = [](const QString &path, mode_t mode) { ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0); };
    struct Way {
        const char *name;
        std::function<void(test::TestPlatform &, const QString &)> spoil;
        // What was changeable, for the spoilt copy and the script's interpreter.
        std::function<QString(const QString &, const QString &)> part;
    };
    const std::vector<Way> ways{
        {"its folder", [&](test::TestPlatform &, const QString &copy) { chmod(QFileInfo(copy).path(), 0777); },
         [](const QString &copy, const QString &) {
             return QStringLiteral("the folder %1 is writable by others").arg(QFileInfo(copy).path());
         }},
        {"the file", [&](test::TestPlatform &, const QString &copy) { chmod(copy, 0757); },
         [](const QString &copy, const QString &) { return QStringLiteral("the file %1 is writable by others").arg(copy); }},
        {"what runs the script",
         [&](test::TestPlatform &env, const QString &copy) {
             const QString interpreter = env.hostPath("/srv/open/interpreter");
             makeFile(interpreter, true);
             chmod(QFileInfo(interpreter).path(), 0777);
             ASSERT_TRUE(test::writeProgram(copy, "#!" + interpreter.toUtf8() + "\n"));
         },
         [](const QString &copy, const QString &interpreter) {
             return QStringLiteral("the script %1 runs %2, which can be changed by another user (the folder %3 is writable by "
                                   "others)")
                 .arg(copy, interpreter, QFileInfo(interpreter).path());
         }},
    };
    for (const Way &way : ways) {
        SCOPED_TRACE(way.name);
        test::TestPlatform env;
        ToolLocator &locator = env.platform().toolLocator();
        const QString spoilt = env.hostPath("/usr/local/bin/tool");
        const QString clean = env.hostPath("/usr/bin/tool");
        makeFile(spoilt, true);
        makeFile(clean, true);
        way.spoil(env, spoilt);
        const QString interpreter = env.hostPath("/srv/open/interpreter");
        const PassedOver passedOver{spoilt, way.part(spoilt, interpreter)};

        // A test's own program, which no system folder holds.
        const QString named = QStringLiteral("/usr/local/bin/tool");
        const ProgramSearch search = locator.search({named});
        EXPECT_EQ(search.found, clean);
        EXPECT_EQ(search.passedOver, passedOver);
        EXPECT_EQ(locator.firstExecutable({named}), clean);
        EXPECT_EQ(locator.resolve(named), clean);
        const ProgramSearch onPath = searchPathFor("tool", {QFileInfo(spoilt).path(), QFileInfo(clean).path()});
        EXPECT_EQ(onPath.found, clean);
        EXPECT_EQ(onPath.passedOver, passedOver);
    }
}

} // namespace
} // namespace cordavelle
