#include "install/legacy_direwolf_cleanup.h"

#include "base/helper_places.h"
#include "platform/files.h"
#include "platform/tree_removal.h"
#include "support/event_wait.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>

namespace cordavelle {
namespace {

qint64 allocated(const QString &path)
{
    struct stat facts {};
    ::lstat(QFile::encodeName(path).constData(), &facts);
    return qint64(facts.st_blocks) * 512;
}

TEST(LegacyDirewolfCleanup, SizeCountsAllocatedBytesOfVisibleRegularFiles)
{
    test::TestPlatform env;
    const QString folder = places::legacyDirewolfFolder();
    EXPECT_EQ(LegacyDirewolfCleanup::directorySize(folder), std::nullopt);

    ASSERT_TRUE(test::writeFile(folder + "/bin/direwolf", QByteArray(10000, 'x')));
    ASSERT_TRUE(test::writeFile(folder + "/share/doc/README", "tiny"));
    ASSERT_TRUE(test::writeFile(folder + "/.cache", QByteArray(50000, 'h')));
    ASSERT_TRUE(test::writeFile(folder + "/.hidden/inner", QByteArray(50000, 'h')));
    QFile::link(folder + "/bin/direwolf", folder + "/bin/link");
    const qint64 expected = allocated(folder + "/bin/direwolf") + allocated(folder + "/share/doc/README");
    EXPECT_GT(expected, 10000);
    EXPECT_EQ(LegacyDirewolfCleanup::directorySize(folder), expected);

    QDir().mkpath(env.root() + "/empty");
    EXPECT_EQ(LegacyDirewolfCleanup::directorySize(env.root() + "/empty"), 0);
}

TEST(LegacyDirewolfCleanup, PresenceAndRemoval)
{
    test::TestPlatform env;
    LegacyDirewolfCleanup cleanup(env.defaults(), [] { return QStringList(); });
    const QString folder = places::legacyDirewolfFolder();

    ASSERT_TRUE(test::writeFile(folder, "a file, not a folder"));
    EXPECT_FALSE(cleanup.isLegacyInstallPresent());
    QFile::remove(folder);

    // Gone already: nothing happens, nothing is logged.
    EXPECT_NO_THROW(test::runToEnd(cleanup.removeLegacyInstall()));
    EXPECT_FALSE(env.log().contains("Removed legacy install"));
    // A dangling link of the user's at its name goes itself.
    ASSERT_TRUE(QFile::link(env.root() + "/gone", folder));
    test::runToEnd(cleanup.removeLegacyInstall());
    EXPECT_FALSE(QFileInfo(folder).isSymLink());

    ASSERT_TRUE(test::writeProgram(folder + "/bin/direwolf"));
    EXPECT_TRUE(cleanup.isLegacyInstallPresent());
    // Where another user may change the way, the removal fails and says why.
    const QString data = QFileInfo(places::supportFolder()).path();
    ASSERT_TRUE(test::makeFolderWithMode(data, 0777));
    try {
        test::runToEnd(cleanup.removeLegacyInstall());
        ADD_FAILURE() << "removed where another user may change the way";
    } catch (const FileError &error) {
        EXPECT_TRUE(error.description().endsWith("the folder " + data + " is writable by others"))
            << error.description().toStdString();
    }
    EXPECT_TRUE(cleanup.isLegacyInstallPresent());
    ASSERT_TRUE(test::makeFolderWithMode(data, 0700));
    // A folder inside that can't be entered stops it part way, which is no removal either.
    ASSERT_TRUE(test::writeFile(folder + "/share/kept", "x"));
    ASSERT_TRUE(test::makeFolderWithMode(folder + "/share", 0));
    if (::access(QFile::encodeName(folder + "/share/kept").constData(), F_OK) != 0) { // root enters any
        const auto removals = [&env] {
            const auto &entries = env.log().entries;
            return std::count_if(entries.begin(), entries.end(),
                                 [](const auto &entry) { return entry.message.contains("Removed legacy install"); });
        };
        const auto removalsBefore = removals();
        try {
            test::runToEnd(cleanup.removeLegacyInstall());
            ADD_FAILURE() << "a removal that went part way was taken for done";
        } catch (const FileError &error) {
            EXPECT_TRUE(error.description().startsWith("Could not remove " + folder + ": partly removed, "))
                << error.description().toStdString();
        }
        // What is left of it was set aside: no longer the old install, and taken with the next try.
        EXPECT_FALSE(cleanup.isLegacyInstallPresent());
        EXPECT_EQ(removals(), removalsBefore);
        ASSERT_TRUE(test::makeFolderWithMode(removalAside(folder) + "/share", 0700));
    } else {
        ASSERT_TRUE(test::makeFolderWithMode(folder + "/share", 0700));
    }
    // A second removal while one runs is refused, and says so.
    auto first = test::track(cleanup.removeLegacyInstall());
    try {
        test::runToEnd(cleanup.removeLegacyInstall());
        ADD_FAILURE() << "a second removal of the folder went ahead";
    } catch (const FileError &error) {
        EXPECT_EQ(error.description(), folder + " is being removed.");
    }
    ASSERT_TRUE(test::processEventsUntil([&] { return first->done; }, std::chrono::seconds(10)));
    EXPECT_EQ(first->error, std::nullopt);
    EXPECT_FALSE(cleanup.isLegacyInstallPresent());
    EXPECT_TRUE(env.log().contains("[LegacyDirewolfCleanup] Removed legacy install at " + folder));
}

// The Direwolf in use, by its own path or through a link, keeps the folder it lies in.
TEST(LegacyDirewolfCleanup, RefusesToRemoveTheFolderOfTheDirewolfInUse)
{
    test::TestPlatform env;
    const QString folder = places::legacyDirewolfFolder();
    ASSERT_TRUE(test::writeProgram(folder + "/bin/direwolf"));
    ASSERT_TRUE(test::writeProgram(env.root() + "/usr/bin/direwolf"));
    QFile::link(folder + "/bin/direwolf", env.root() + "/linked-direwolf");

    struct Case {
        QStringList inUse;
        bool refused;
    };
    const Case cases[] = {
        {{}, false},
        {{env.root() + "/usr/bin/direwolf"}, false},
        {{env.root() + "/usr/bin/direwolf", folder + "/bin/direwolf"}, true},
        {{env.root() + "/linked-direwolf"}, true},
        {{folder + "/../direwolf/bin/direwolf"}, true},
        // A sibling whose name begins with the folder's is not inside it.
        {{folder + "-new/bin/direwolf"}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.inUse.join(", ").toStdString());
        EXPECT_EQ(LegacyDirewolfCleanup::binaryInside(folder, c.inUse).has_value(), c.refused);
    }

    QStringList inUse{folder + "/bin/direwolf"};
    LegacyDirewolfCleanup cleanup(env.defaults(), [&] { return inUse; });
    try {
        test::runToEnd(cleanup.removeLegacyInstall());
        ADD_FAILURE() << "removed the folder of the Direwolf in use";
    } catch (const FileError &error) {
        EXPECT_TRUE(error.description().contains(folder + "/bin/direwolf"));
    }
    EXPECT_TRUE(QFile::exists(folder + "/bin/direwolf"));
    inUse = {env.root() + "/usr/bin/direwolf"};
    test::runToEnd(cleanup.removeLegacyInstall());
    EXPECT_FALSE(cleanup.isLegacyInstallPresent());
}

TEST(LegacyDirewolfCleanup, DismissalOutlivesTheInstance)
{
    test::TestPlatform env;
    {
        LegacyDirewolfCleanup cleanup(env.defaults(), {});
        EXPECT_FALSE(cleanup.isPromptDismissed());
        int changes = 0;
        QObject::connect(&cleanup, &LegacyDirewolfCleanup::isPromptDismissedChanged, [&] { ++changes; });
        cleanup.dismissPrompt();
        cleanup.dismissPrompt();
        EXPECT_TRUE(cleanup.isPromptDismissed());
        EXPECT_EQ(changes, 1);
    }
    LegacyDirewolfCleanup again(env.defaults(), {});
    EXPECT_TRUE(again.isPromptDismissed());
}

} // namespace
} // namespace cordavelle
