#include "platform/accounts.h"
#include "platform/files.h"
#include "platform/keychain.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "radio/direwolf_config_manager.h"
#include "support/fixed_accounts.h"
#include "support/needs_root.h"
#include "support/qt_printers.h"
#include "support/other_user_client.h"
#include "support/scoped_environment.h"
#include "support/small_disk.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QDirIterator>
#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cordavelle {
namespace {

unsigned permissionBitsOf(const QString &path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st.st_mode & 07777;
}

// The scratch folder lies where no other user can take its name first or move it aside, through
// any folder on its way: the user's cache, else the session's runtime folder when that is the
// user's alone, else nowhere, saying where it tried.
TEST(Paths, TheScratchFolderIsOnlyEverAFolderOfTheUsersOwn)
{
    enum class Cache {
        usable,
        link,
        file,
        openParent,
        groupWritable,
        // In a folder G above the cache, which is the user's own.
        underSharedGroup,
        underAccessList,
        underOthers,
        // The cache in a home that a group holding another user may write.
        inSharedHome,
        inStickyFolder,
        // Reached through another user's link in a sticky open folder.
        throughOthersLinkInStickyFolder,
    };
    enum class Runtime { own, unset, open };
    struct Case {
        const char *name;
        Cache cache;
        Runtime runtime;
        const char *chosen; // "cache", "runtime" or nullptr for none
        const char *why = nullptr; // what a refusal says of the cache's way
        bool needsRoot = false;
    };
    const Case cases[] = {
        {"the cache first", Cache::usable, Runtime::own, "cache"},
        {"the cache without a runtime folder", Cache::usable, Runtime::unset, "cache"},
        {"a link in the cache's place", Cache::link, Runtime::own, "runtime"},
        {"a cache folder others may write", Cache::openParent, Runtime::own, "runtime"},
        {"a cache folder made under umask 002", Cache::groupWritable, Runtime::own, "cache"},
        {"a file in the cache's place, no runtime folder", Cache::file, Runtime::unset, nullptr},
        {"a runtime folder others may enter", Cache::link, Runtime::open, nullptr},
        {"a folder above the cache that a group holding another user may write", Cache::underSharedGroup, Runtime::own,
         "runtime"},
        {"the same without a runtime folder", Cache::underSharedGroup, Runtime::unset, nullptr,
         "/G is writable by the group ann, which can hold other users"},
        {"a folder above the cache that an access list lets another user write", Cache::underAccessList, Runtime::unset,
         nullptr, "/G gives write to the user 54321 through an access list"},
        {"a folder above the cache of another user's", Cache::underOthers, Runtime::own, "runtime", nullptr, true},
        {"a home that a group holding another user may write", Cache::inSharedHome, Runtime::own, "runtime"},
        {"the user's own cache in a sticky open folder", Cache::inStickyFolder, Runtime::own, "cache"},
        {"another user's link in a sticky open folder on the way", Cache::throughOthersLinkInStickyFolder, Runtime::unset,
         nullptr, "/sticky/cache belongs to another user", true},
    };
    bool passedOverForRoot = false;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && !test::runsAsRoot()) {
            passedOverForRoot = true;
            continue;
        }
        test::TestPlatform env;
        // The user "ann" has a group of her own, unless the row lets another user into it.
        const bool sharedGroup = c.cache == Cache::underSharedGroup || c.cache == Cache::inSharedHome;
        auto accounts = std::make_shared<test::FixedAccounts>();
        accounts->users[::geteuid()] = {QStringLiteral("ann"), ::getegid()};
        accounts->groups[::getegid()] = {QStringLiteral("ann"), sharedGroup ? QStringList{"eve"} : QStringList{}};
        env.platform().setAccounts(accounts);
        test::ScopedEnvironment environment;
        const QString home = env.root() + "/home";
        const QString sticky = env.root() + "/sticky";
        const QString above = env.root() + "/G";
        QString cache = env.root() + "/cache";
        const QString runtime = env.root() + "/run";
        const QString elsewhere = env.root() + "/elsewhere";
        // Modes given outright: the test's umask may leave a new folder group-writable.
        ASSERT_TRUE(test::makeFolderWithMode(home, 0755) && test::makeFolderWithMode(runtime, 0700) &&
                    test::makeFolderWithMode(elsewhere, 0700));
        ::chmod(QFile::encodeName(runtime).constData(), c.runtime == Runtime::open ? 0755 : 0700);
        switch (c.cache) {
        case Cache::underSharedGroup:
        case Cache::underAccessList:
        case Cache::underOthers:
            cache = above + "/cache";
            break;
        case Cache::inSharedHome:
            cache = home + "/.cache";
            break;
        case Cache::inStickyFolder:
            cache = sticky + "/cache";
            break;
        default:
            break;
        }
        ASSERT_TRUE(test::makeFolderWithMode(cache, 0700));
        environment.set("HOME", QFile::encodeName(home));
        if (c.cache == Cache::inSharedHome) {
            environment.unset("XDG_CACHE_HOME");
        } else if (c.cache == Cache::throughOthersLinkInStickyFolder) {
            ASSERT_TRUE(test::makeFolderWithMode(sticky, 01777));
            ASSERT_TRUE(QFile::link(cache, sticky + "/cache"));
            ASSERT_EQ(::lchown(QFile::encodeName(sticky + "/cache").constData(), test::kOtherUid, test::kOtherUid), 0);
            environment.set("XDG_CACHE_HOME", QFile::encodeName(sticky + "/cache"));
        } else {
            environment.set("XDG_CACHE_HOME", QFile::encodeName(cache));
        }
        if (c.runtime == Runtime::unset) {
            environment.unset("XDG_RUNTIME_DIR");
        } else {
            environment.set("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        }
        switch (c.cache) {
        case Cache::usable:
            break;
        case Cache::link:
            ASSERT_TRUE(QFile::link(elsewhere, cache + "/cordavelle-helper"));
            break;
        case Cache::file:
            ASSERT_TRUE(test::writeFile(cache + "/cordavelle-helper", "x"));
            break;
        case Cache::openParent:
            ::chmod(QFile::encodeName(cache).constData(), 0777);
            break;
        case Cache::groupWritable:
            // Only the user's own group may write it, which holds nobody else.
            ASSERT_EQ(::chown(QFile::encodeName(cache).constData(), ::geteuid(), ::getegid()), 0);
            ::chmod(QFile::encodeName(cache).constData(), 0775);
            break;
        case Cache::underSharedGroup:
            ASSERT_EQ(::chown(QFile::encodeName(above).constData(), ::geteuid(), ::getegid()), 0);
            ::chmod(QFile::encodeName(above).constData(), 02775);
            break;
        case Cache::underAccessList:
            ::chmod(QFile::encodeName(above).constData(), 0755);
            ASSERT_EQ(QProcess::execute("setfacl", {"-m", "u:" + QString::number(test::kOtherUid) + ":rwx", above}), 0)
                << "the test's folders keep no access lists";
            break;
        case Cache::underOthers:
            ::chmod(QFile::encodeName(above).constData(), 0755);
            ASSERT_EQ(::chown(QFile::encodeName(above).constData(), test::kOtherUid, test::kOtherUid), 0);
            break;
        case Cache::inSharedHome:
            ASSERT_EQ(::chown(QFile::encodeName(home).constData(), ::geteuid(), ::getegid()), 0);
            ::chmod(QFile::encodeName(home).constData(), 0775);
            break;
        case Cache::inStickyFolder:
            ::chmod(QFile::encodeName(sticky).constData(), 01777);
            break;
        case Cache::throughOthersLinkInStickyFolder:
            break;
        }
        const QString inCache = cache + "/cordavelle-helper";
        // What an earlier run made where the way to it could be rearranged is not the user's alone.
        const bool wayRefused = c.why || c.cache == Cache::underSharedGroup || c.cache == Cache::underOthers ||
                                c.cache == Cache::inSharedHome;
        if (wayRefused) {
            ASSERT_TRUE(test::makeFolderWithMode(inCache, 0700));
        }

        const XdgPaths paths;
        if (!c.chosen) {
            try {
                paths.privateTemporary();
                ADD_FAILURE() << "a scratch folder was handed out";
            } catch (const FileError &error) {
                const QString named = c.cache == Cache::throughOthersLinkInStickyFolder ? sticky + "/cache" : cache;
                EXPECT_TRUE(error.description().contains(named + "/cordavelle-helper")) << error.description().toStdString();
                EXPECT_EQ(error.description().contains(runtime), c.runtime == Runtime::open)
                    << error.description().toStdString();
                if (c.why) {
                    EXPECT_TRUE(error.description().contains(QString::fromLatin1(c.why))) << error.description().toStdString();
                }
            }
        } else {
            const QString folder = (QString::fromLatin1(c.chosen) == "cache" ? cache : runtime) + "/cordavelle-helper";
            EXPECT_EQ(paths.privateTemporary(), folder);
            EXPECT_EQ(permissionBitsOf(folder), 0700u);
            EXPECT_TRUE(paths.ownScratchFolders().contains(folder));
        }
        EXPECT_TRUE(QDir(elsewhere).isEmpty());
        if (c.cache == Cache::link || wayRefused) {
            EXPECT_FALSE(paths.ownScratchFolders().contains(inCache));
        }
    }
    if (passedOverForRoot) {
        SKIP_UNLESS_ROOT("giving folders and links to another user");
    }
}

// Earlier versions' scratch folder in the shared temporary folder is swept only where it is the
// user's own: not a link, a file or a folder that someone else put at its name.
TEST(Paths, TheOldScratchFolderCountsOnlyWhenItIsTheUsersOwn)
{
    test::TestPlatform env;
    const Paths &paths = env.platform().paths();
    const QString old = paths.temporary() + "/cordavelle-helper-" + QString::number(::geteuid());
    EXPECT_FALSE(paths.ownScratchFolders().contains(old));
    ASSERT_TRUE(QFile::link(env.root(), old));
    EXPECT_FALSE(paths.ownScratchFolders().contains(old));
    ASSERT_TRUE(QFile::remove(old));
    ASSERT_TRUE(test::writeFile(old, "x"));
    EXPECT_FALSE(paths.ownScratchFolders().contains(old));
    ASSERT_TRUE(QFile::remove(old));
    ASSERT_TRUE(QDir().mkdir(old));
    EXPECT_TRUE(paths.ownScratchFolders().contains(old));
    SKIP_UNLESS_ROOT("giving a folder to another user");
    ASSERT_EQ(::chown(QFile::encodeName(old).constData(), test::kOtherUid, test::kOtherUid), 0);
    EXPECT_FALSE(paths.ownScratchFolders().contains(old));
}

} // namespace
} // namespace cordavelle
