#include "install/own_file_modes.h"

#include "support/needs_root.h"
#include "support/other_user_client.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {
namespace {

mode_t modeOf(const QString &path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st.st_mode & 07777;
}

// What an earlier version made under a session umask of 002 loses the group's and others' write;
// what is already tight, what a link leads to and what another user owns stay as they are.
TEST(OwnFileModes, TakesWriteFromWhatTheUserOwnsAndFromNothingElse)
{
    test::TestPlatform env;
    QTemporaryDir root;
    QTemporaryDir elsewhere;
    ASSERT_TRUE(root.isValid() && elsewhere.isValid());
    const QString base = QFileInfo(root.path()).canonicalFilePath();
    const QString rigctld = base + "/hamlib/bin/rigctld";
    ASSERT_TRUE(test::writeProgram(rigctld));
    ASSERT_TRUE(test::writeFile(base + "/settings", "x"));
    ASSERT_TRUE(test::writeProgram(base + "/tight"));
    ASSERT_TRUE(test::writeFile(elsewhere.path() + "/target", "x"));
    ASSERT_EQ(::symlink(QFile::encodeName(elsewhere.path() + "/target").constData(), QFile::encodeName(base + "/link").constData()), 0);
    struct Entry {
        QString path;
        mode_t before;
        mode_t after;
    };
    std::vector<Entry> entries{
        {base + "/hamlib", 0775, 0755},
        {base + "/hamlib/bin", 0777, 0755},
        {rigctld, 0757, 0755},
        {base + "/settings", 0666, 0644},
        {base + "/tight", 0700, 0700},
        {elsewhere.path() + "/target", 0666, 0666},
    };
    // A file the user may write but not read, and a fifo, which no walk may open and wait on.
    ASSERT_TRUE(test::writeFile(base + "/writeOnly", "x"));
    entries.push_back({base + "/writeOnly", 0222, 0200});
    ASSERT_EQ(::mkfifo(QFile::encodeName(base + "/fifo").constData(), 0600), 0);
    entries.push_back({base + "/fifo", 0666, 0666});
    int changing = 5;
    int foreignFolders = 0;
    if (test::runsAsRoot()) {
        const QString theirs = base + "/theirs";
        ASSERT_TRUE(test::writeFile(theirs, "x"));
        ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), test::kOtherUid, test::kOtherUid), 0);
        entries.push_back({theirs, 0666, 0666});
        // Another user's folder is not entered: what is inside is hers to rearrange.
        const QString folder = base + "/theirFolder";
        ASSERT_TRUE(test::writeFile(folder + "/mine", "x"));
        ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), test::kOtherUid, test::kOtherUid), 0);
        entries.push_back({folder, 0777, 0777});
        entries.push_back({folder + "/mine", 0666, 0666});
        foreignFolders = 1;
    }
    for (const Entry &entry : entries) {
        ASSERT_EQ(::chmod(QFile::encodeName(entry.path).constData(), entry.before), 0);
    }
    EXPECT_FALSE(isRunnableOwnCopy(rigctld));

    const ModeTightening result = tightenOwnModes(base);
    EXPECT_EQ(result.tightened, changing);
    EXPECT_EQ(result.failed, 0);
    EXPECT_EQ(result.foreignFolders, foreignFolders);
    for (const Entry &entry : entries) {
        EXPECT_EQ(modeOf(entry.path), entry.after) << entry.path.toStdString();
    }
    EXPECT_TRUE(isRunnableOwnCopy(rigctld));
    EXPECT_EQ(tightenOwnModes(base).tightened, 0);
    SKIP_UNLESS_ROOT("the rows with another user's file and folder");
}

// A file of the walked tree swapped for a link to a private file, over and over while the walk
// runs: the mode meant for the file must never land on what the link leads to.
TEST(OwnFileModes, AFileSwappedForALinkNeverPassesItsChangeToTheLinksTarget)
{
    QTemporaryDir root;
    QTemporaryDir elsewhere;
    ASSERT_TRUE(root.isValid() && elsewhere.isValid());
    const QByteArray base = QFile::encodeName(root.path());
    const QByteArray secret = QFile::encodeName(elsewhere.path() + "/keychain.json");
    ASSERT_TRUE(test::writeFile(QFile::decodeName(secret), "{}"));
    ASSERT_EQ(::chmod(secret.constData(), 0600), 0);
    ASSERT_TRUE(test::writeFile(QFile::decodeName(base + "/file"), "x"));
    const int file = ::open((base + "/file").constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::symlink(secret.constData(), (base + "/link").constData()), 0);

    // Both names always exist, each the file and the link by turns.
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) {
            ::renameat2(AT_FDCWD, (base + "/file").constData(), AT_FDCWD, (base + "/link").constData(), RENAME_EXCHANGE);
        }
    });
    int changedTarget = 0;
    for (int walk = 0; walk < 10000 && changedTarget == 0; ++walk) {
        ASSERT_EQ(::fchmod(file, 0666), 0);
        tightenOwnModes(root.path());
        changedTarget += modeOf(QFile::decodeName(secret)) != 0600 ? 1 : 0;
    }
    stop = true;
    swapper.join();
    ::close(file);
    EXPECT_EQ(changedTarget, 0);
}

} // namespace
} // namespace cordavelle
