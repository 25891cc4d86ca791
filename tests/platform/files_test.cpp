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

namespace {

// While set, fsync(2) fails, as on a device that lost the write, for the files whose path starts
// with refusedPrefix.
std::atomic<bool> refuseFsync{false};
char refusedPrefix[PATH_MAX];

bool isRefused(int fd)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) {
        return false;
    }
    target[n] = '\0';
    return std::strncmp(target, refusedPrefix, std::strlen(refusedPrefix)) == 0;
}

} // namespace

// Takes the place of the C library's fsync for the whole test program, since no file system a
// test may mount fails a flush on demand.
extern "C" int fsync(int fd)
{
    if (refuseFsync.load() && isRefused(fd)) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace cordavelle {
namespace {

// While it lives, fsync(2) fails for every file whose path starts with `prefix`.
class RefusedFsync {
public:
    explicit RefusedFsync(const QString &prefix)
    {
        std::snprintf(refusedPrefix, sizeof refusedPrefix, "%s", QFile::encodeName(prefix).constData());
        refuseFsync = true;
    }
    ~RefusedFsync() { refuseFsync = false; }
    RefusedFsync(const RefusedFsync &) = delete;
    RefusedFsync &operator=(const RefusedFsync &) = delete;
};

unsigned modeOf(const QString &path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st.st_mode & 07777;
}

TEST(Files, AtomicWriteReplacesTheFileWithTheAskedMode)
{
    test::TestPlatform env;
    const QString path = env.root() + "/out/file.txt";
    QDir().mkpath(env.root() + "/out");
    writeFileAtomically(path, "one\n");
    writeFileAtomically(path, "two\n", 0700);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("two\n"));
    EXPECT_EQ(modeOf(path), 0700u);
    EXPECT_EQ(QDir(env.root() + "/out").entryList(QDir::Files | QDir::Hidden).size(), 1) << "no temporary left";

    try {
        writeFileAtomically(env.root() + "/missing/file.txt", "x");
        ADD_FAILURE() << "expected a FileError";
    } catch (const FileError &error) {
        EXPECT_TRUE(error.description().contains("missing/file.txt")) << error.what();
    }
}

// Direwolf, VARA and the install log read files written without a mode: a new one gets what any
// new file would, and a rewrite keeps what the user set, neither writable by the group or others.
TEST(Files, AtomicWriteWithoutAModeTakesTheUmaskOrTheOldFilesMode)
{
    const struct {
        mode_t umask;
        unsigned made;
        unsigned setByUser;
        unsigned rewritten;
    } cases[] = {
        {027, 0640, 0604, 0604},
        // A desktop that gives each user a group of its own.
        {002, 0644, 0664, 0644},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.umask);
        test::TestPlatform env;
        const QString path = env.root() + "/file.txt";
        const mode_t oldMask = ::umask(c.umask);
        writeFileAtomically(path, "one\n");
        const unsigned made = modeOf(path);
        ::chmod(QFile::encodeName(path).constData(), c.setByUser);
        writeFileAtomically(path, "two\n");
        const unsigned rewritten = modeOf(path);
        ::umask(oldMask);
        EXPECT_EQ(made, c.made);
        EXPECT_EQ(rewritten, c.rewritten);
    }
}

// Some file systems report a full disk only at close or fsync, and some libraries then call the
// write a success and leave an empty file: the old file must stay whole and the caller must know.
TEST(Files, AtomicWriteOnAFullDiskFailsAndKeepsTheOldFile)
{
    test::TestPlatform env;
    test::SmallDisk disk(env.root() + "/disk");
    if (!disk.available()) {
        GTEST_SKIP() << "no disk of its own to fill: " << disk.whyNot().toStdString();
    }
    const QString path = env.root() + "/disk/settings.plist";
    writeFileAtomically(path, "old settings\n", 0600);
    ASSERT_TRUE(disk.fill());

    try {
        writeFileAtomically(path, "new settings\n");
        ADD_FAILURE() << "expected a FileError";
    } catch (const FileError &error) {
        EXPECT_TRUE(error.description().contains(QString::fromLocal8Bit(std::strerror(ENOSPC)))) << error.what();
    }
    EXPECT_EQ(test::readBytes(path), QByteArray("old settings\n"));
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(removeLeftoverTemporaryFiles(path), 0) << "the failed write left its temporary file";

    disk.free();
    writeFileAtomically(path, "new settings\n");
    EXPECT_EQ(test::readBytes(path), QByteArray("new settings\n"));
    EXPECT_EQ(modeOf(path), 0600u) << "a replacement keeps the mode of the file it replaces";
}

// A device may take every write and fail only the flush: the new content may then never reach
// the disk, so the old file must stay and the caller must know.
TEST(Files, AtomicWriteWhoseFlushFailsKeepsTheOldFile)
{
    test::TestPlatform env;
    const QString path = env.root() + "/settings.plist";
    writeFileAtomically(path, "old settings\n", 0600);
    {
        const RefusedFsync refused(QFileInfo(path).canonicalFilePath() + ".");
        try {
            writeFileAtomically(path, "new settings\n");
            ADD_FAILURE() << "expected a FileError";
        } catch (const FileError &error) {
            EXPECT_EQ(error.description(),
                      "Could not write " + path + ": " + QString::fromLocal8Bit(std::strerror(EIO)));
        }
    }
    EXPECT_EQ(test::readBytes(path), QByteArray("old settings\n"));
    EXPECT_EQ(removeLeftoverTemporaryFiles(path), 0) << "the failed write left its temporary file";
}

TEST(Files, PrivateFolderIsMadeOrTightenedAndALinkIsRefused)
{
    test::TestPlatform env;
    const QString fresh = env.root() + "/a/b/private";
    makePrivateFolder(fresh);
    EXPECT_EQ(modeOf(fresh), 0700u);

    const QString loose = env.root() + "/loose";
    QDir().mkpath(loose);
    ::chmod(QFile::encodeName(loose).constData(), 0777);
    makePrivateFolder(loose);
    EXPECT_EQ(modeOf(loose), 0700u);

    // Someone could have planted a link to a folder of their own choosing.
    const QString link = env.root() + "/link";
    ASSERT_TRUE(QFile::link(loose, link));
    EXPECT_THROW(makePrivateFolder(link), FileError);

    const QString file = env.root() + "/plain";
    QFile(file).open(QIODevice::WriteOnly);
    EXPECT_THROW(makePrivateFolder(file), FileError);
}

TEST(Files, WhatTheHelperKeepsIsMadePrivateAtStartAndStaysSo)
{
    test::TestPlatform env;
    Platform &platform = env.platform();
    const QString preferences = platform.paths().preferences();
    const QString support = QFileInfo(platform.keychainFile()).path();
    // What an earlier version left behind under a umask of 022.
    const auto make = [](const QString &path, unsigned mode, bool folder) {
        if (folder) {
            QDir().mkpath(path);
        } else {
            QFile(path).open(QIODevice::WriteOnly);
        }
        ::chmod(QFile::encodeName(path).constData(), mode);
    };
    make(preferences, 0755, true);
    make(preferences + "/com.cordavelle.helper.plist", 0644, false);
    make(preferences + "/com.cordavelle.helper.plist.corrupt", 0666, false);
    make(support, 0775, true);
    make(platform.keychainFile(), 0644, false);
    make(support + "/wine", 0755, true);
    const QString elsewhere = env.root() + "/elsewhere";
    make(elsewhere, 0644, false);
    ASSERT_TRUE(QFile::link(elsewhere, preferences + "/link"));

    EXPECT_EQ(platform.keepStoredFilesPrivate(), QStringList());
    EXPECT_EQ(modeOf(preferences), 0700u);
    EXPECT_EQ(modeOf(preferences + "/com.cordavelle.helper.plist"), 0600u);
    EXPECT_EQ(modeOf(preferences + "/com.cordavelle.helper.plist.corrupt"), 0600u);
    EXPECT_EQ(modeOf(support), 0700u);
    EXPECT_EQ(modeOf(platform.keychainFile()), 0600u);
    // Inside a private folder, nothing needs changing; what a link leads to is not ours to change.
    EXPECT_EQ(modeOf(support + "/wine"), 0755u);
    EXPECT_EQ(modeOf(elsewhere), 0644u);

    // Missing folders are made private, and so are the settings written later.
    QDir(preferences).removeRecursively();
    QDir(support).removeRecursively();
    EXPECT_EQ(platform.keepStoredFilesPrivate(), QStringList());
    EXPECT_EQ(modeOf(preferences), 0700u);
    EXPECT_EQ(modeOf(support), 0700u);
    QDir(preferences).removeRecursively();
    platform.defaults(QStringLiteral("com.example.fresh")).setObject(QStringLiteral("k"), 1);
    EXPECT_EQ(modeOf(preferences), 0700u);
    EXPECT_EQ(modeOf(platform.preferencesFile(QStringLiteral("com.example.fresh"))), 0600u);
}

// A cache or runtime folder named through a link and ".." is where the system goes: the link
// followed, then ".." from where it led. That place is checked, and the same place is used; a
// check of the path cleaned as text would pass one folder while the files went into another.
TEST(Paths, APlaceNamedThroughALinkAndDotDotIsCheckedAndUsedWhereTheSystemFindsIt)
{
    // Where a link leads: a folder of the user's own, one a group holding another user may
    // write, or one inside a folder the user may read but not enter (mode 0644).
    enum class Target { none, own, shared, locked };
    struct Row {
        const char *name;
        Target cache;
        Target runtime;
        // Where the scratch folder goes: the real cache or runtime folder, or nowhere.
        const char *chosen;
        const char *why = nullptr; // what a refusal says of the real way
        bool asUserOnly = false; // root enters any folder
        bool cacheMissing = false; // the cache folder is not there yet
        const char *runtimeAt = nullptr; // the runtime folder's path under the test's root, as named
    };
    const Row rows[] = {
        {"the user's own link to her own folder", Target::own, Target::none, "cache"},
        {"the user's own link into a folder a group holding another user may write", Target::shared, Target::none,
         nullptr, "/shared is writable by the group ann, which can hold other users"},
        {"the same, with a runtime folder named through her link to her own", Target::shared, Target::own, "runtime"},
        {"a runtime folder named through her link into the shared folder", Target::shared, Target::shared, nullptr},
        {"a cache not there yet in the shared folder", Target::shared, Target::none, nullptr,
         "/shared is writable by the group ann, which can hold other users", false, true},
        {"a way through a folder the user can't enter", Target::locked, Target::locked, nullptr, "Permission denied",
         true},
        // The system stops at the missing name, a file or a folder it can't enter: none is a name
        // still to be made.
        {"a runtime folder named through a missing name and \"..\"", Target::shared, Target::none, nullptr,
         "No such file or directory", false, false, "/own/gone/../run"},
        {"a runtime folder named through a file", Target::shared, Target::none, nullptr, "Not a directory", false, false,
         "/own/plain/run"},
        {"a runtime folder in a folder the user can't enter", Target::shared, Target::none, nullptr, "Permission denied",
         true, false, "/locked/run"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.asUserOnly && test::runsAsRoot()) {
            continue;
        }
        test::TestPlatform env;
        auto accounts = std::make_shared<test::FixedAccounts>();
        accounts->users[::geteuid()] = {QStringLiteral("ann"), ::getegid()};
        accounts->groups[::getegid()] = {QStringLiteral("ann"), QStringList{"eve"}};
        env.platform().setAccounts(accounts);
        test::ScopedEnvironment environment;
        const QString root = QFileInfo(env.root()).canonicalFilePath();
        const QString named = root + "/named";
        ASSERT_TRUE(test::makeFolderWithMode(named + "/cache", 0700) && test::makeFolderWithMode(named + "/run", 0700));
        const auto targetOf = [&](Target target) {
            return root + (target == Target::own ? "/own" : target == Target::shared ? "/shared" : "/locked");
        };
        for (const Target target : {Target::own, Target::shared, Target::locked}) {
            const QString folder = targetOf(target);
            ASSERT_TRUE(test::makeFolderWithMode(folder + "/sub", 0755) && test::makeFolderWithMode(folder + "/run", 0700));
            // The one she made in the shared folder, open to all.
            ASSERT_TRUE(test::makeFolderWithMode(folder + "/cache", target == Target::shared ? 0777 : 0700));
        }
        ASSERT_EQ(::chmod(QFile::encodeName(targetOf(Target::shared)).constData(), 02775), 0);
        ASSERT_TRUE(test::writeFile(targetOf(Target::own) + "/plain", "x"));
        environment.set("HOME", QFile::encodeName(root));
        const auto throughLink = [&](const char *link, const char *leaf, Target target) {
            EXPECT_TRUE(QFile::link(targetOf(target) + "/sub", named + "/" + link));
            return named + "/" + link + "/../" + leaf;
        };
        environment.set("XDG_CACHE_HOME",
                        QFile::encodeName(throughLink("to-cache", row.cacheMissing ? "new-cache" : "cache", row.cache)));
        if (row.runtimeAt) {
            environment.set("XDG_RUNTIME_DIR", QFile::encodeName(root + row.runtimeAt));
        } else if (row.runtime == Target::none) {
            environment.unset("XDG_RUNTIME_DIR");
        } else if (row.runtime == Target::locked) {
            // Into it and out at once: the system needs to enter it for its "..".
            environment.set("XDG_RUNTIME_DIR", QFile::encodeName(targetOf(Target::locked) + "/../named/run"));
        } else {
            environment.set("XDG_RUNTIME_DIR", QFile::encodeName(throughLink("to-run", "run", row.runtime)));
        }
        const QString realCache = targetOf(row.cache) + (row.cacheMissing ? "/new-cache" : "/cache") + "/cordavelle-helper";
        ASSERT_EQ(::chmod(QFile::encodeName(targetOf(Target::locked)).constData(), 0644), 0);

        const XdgPaths paths;
        const QString expected = !row.chosen                         ? QString()
                                 : QString::fromLatin1(row.chosen) == "cache" ? realCache
                                                                      : targetOf(row.runtime) + "/run/cordavelle-helper";
        if (!row.chosen) {
            try {
                paths.privateTemporary();
                ADD_FAILURE() << "a scratch folder was handed out";
            } catch (const FileError &error) {
                // The system can't go past a folder it can't enter to learn the real place.
                if (row.cache != Target::locked) {
                    EXPECT_TRUE(error.description().contains(realCache)) << error.description().toStdString();
                }
                if (row.why) {
                    EXPECT_TRUE(error.description().contains(QString::fromLatin1(row.why))) << error.description().toStdString();
                }
            }
        } else {
            EXPECT_EQ(paths.privateTemporary(), expected);
            EXPECT_EQ(modeOf(expected), 0700u);
        }
        EXPECT_EQ(paths.privateRuntime(), row.runtime == Target::own ? targetOf(Target::own) + "/run" : QString());
        // A sweep or a reset goes to the place that was looked at, and to no other.
        EXPECT_EQ(paths.ownScratchFolders(), expected.isEmpty() ? QStringList() : QStringList{expected});
        EXPECT_TRUE(QDir(named + "/cache").isEmpty());
        EXPECT_TRUE(QDir(named + "/run").isEmpty());
        EXPECT_EQ(QFileInfo::exists(targetOf(Target::shared) + "/cache/cordavelle-helper"), false);
        // A refusal makes nothing of the user's in a folder another user may change.
        EXPECT_FALSE(QFileInfo::exists(targetOf(Target::shared) + "/new-cache"));
        ASSERT_EQ(::chmod(QFile::encodeName(targetOf(Target::locked)).constData(), 0755), 0);
    }
}

// What the helper keeps (settings, the keychain file, Direwolf's configuration), named through the
// user's own link and "..", goes where the system takes the path, and the folder made and kept
// the user's alone is that one, not the one the path reads as.
TEST(Files, WhatIsKeptUnderALinkAndDotDotIsKeptInTheFolderTheSystemFinds)
{
    struct Row {
        const char *name;
        const char *file; // under the home
        std::function<bool(Platform &)> write;
        bool privateOnWrite = true; // else made private at start
    };
    const Row rows[] = {
        {"settings", "/.config/cordavelle-helper/domain.plist",
         [](Platform &platform) {
             QString error;
             const bool written = writePropertyListFile(platform.preferencesFile("domain"), {{"key", 1}}, &error);
             EXPECT_EQ(error, QString());
             return written;
         }},
        {"a domain's settings", "/.config/cordavelle-helper/com.example.kept.plist",
         [](Platform &platform) {
             platform.defaults(QStringLiteral("com.example.kept")).setObject(QStringLiteral("k"), 1);
             return true;
         }},
        {"the keychain file", "/.local/share/Cordavelle Helper/keychain.json",
         [](Platform &platform) {
             return FileKeychain(platform.keychainFile()).add("service", "account", "x") == Keychain::kSuccess;
         },
         false},
        {"Direwolf's configuration", "/.local/share/Cordavelle Helper/direwolf.conf",
         [](Platform &) {
             DirewolfConfig config;
             config.callsign = QStringLiteral("N0CALL");
             DirewolfConfigManager::writeConfig(config, {});
             return true;
         }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        test::TestPlatform env;
        const QString root = QFileInfo(env.root()).canonicalFilePath();
        ASSERT_TRUE(test::makeFolderWithMode(root + "/named", 0755) && test::makeFolderWithMode(root + "/real/sub", 0755));
        ASSERT_TRUE(QFile::link(root + "/real/sub", root + "/named/link"));
        env.platform().setPaths(std::make_shared<RootedPaths>(root + "/named/link/.."));
        ASSERT_TRUE(row.write(env.platform()));
        const QString real = root + "/real/home" + row.file;
        EXPECT_TRUE(QFileInfo(real).isFile());
        if (row.privateOnWrite) {
            EXPECT_EQ(modeOf(folderOf(real)), 0700u);
        }
        EXPECT_EQ(env.platform().keepStoredFilesPrivate(), QStringList());
        EXPECT_EQ(modeOf(folderOf(real)), 0700u);
        EXPECT_FALSE(QFileInfo::exists(root + "/named/home"));
    }

    // What a crash left beside the settings is swept there, and a look-alike beside the link stays.
    test::TestPlatform env;
    const QString root = QFileInfo(env.root()).canonicalFilePath();
    ASSERT_TRUE(test::makeFolderWithMode(root + "/named", 0755) && test::makeFolderWithMode(root + "/real/sub", 0755));
    ASSERT_TRUE(QFile::link(root + "/real/sub", root + "/named/link"));
    ASSERT_TRUE(test::writeFile(root + "/real/settings/domain.plist.a1B2c3", "left"));
    ASSERT_TRUE(test::writeFile(root + "/named/settings/domain.plist.a1B2c3", "not ours"));
    EXPECT_EQ(removeLeftoverTemporaryFiles(root + "/named/link/../settings/domain.plist"), 1);
    EXPECT_FALSE(QFileInfo::exists(root + "/real/settings/domain.plist.a1B2c3"));
    EXPECT_TRUE(QFileInfo::exists(root + "/named/settings/domain.plist.a1B2c3"));

    // Where another user may change the way, nothing is swept, and the refusal says why.
    ASSERT_TRUE(test::writeFile(root + "/real/settings/domain.plist.a1B2c3", "left"));
    ASSERT_TRUE(test::makeFolderWithMode(root + "/real", 0777));
    QString refusal;
    EXPECT_EQ(removeLeftoverTemporaryFiles(root + "/named/link/../settings/domain.plist", &refusal), 0);
    EXPECT_TRUE(refusal.endsWith("the folder " + root + "/real is writable by others")) << refusal.toStdString();
    EXPECT_TRUE(QFileInfo::exists(root + "/real/settings/domain.plist.a1B2c3"));
}

TEST(AlsaAudioSystem, ListsOnlyReadableNamedDevices)
{
    AlsaAudioSystem alsa;
    std::vector<uint32_t> ids;
    try {
        ids = alsa.deviceIDs();
    } catch (const AudioSystemError &error) {
        GTEST_SKIP() << "ALSA lists nothing here: " << error.status();
    }
    for (uint32_t id : ids) {
        const auto name = alsa.property(id, AudioSystem::Property::name);
        ASSERT_TRUE(name.has_value());
        EXPECT_FALSE(name->isEmpty());
        EXPECT_NE(*name, QStringLiteral("null"));
        EXPECT_EQ(alsa.property(id, AudioSystem::Property::uid), name);
        EXPECT_FALSE(alsa.streamChannels(id, true).empty() && alsa.streamChannels(id, false).empty());
    }
    // Identifiers stay the same from one listing to the next.
    EXPECT_EQ(alsa.deviceIDs(), ids);
    EXPECT_EQ(alsa.property(0xdeadbeef, AudioSystem::Property::name), std::nullopt);
}

} // namespace
} // namespace cordavelle
