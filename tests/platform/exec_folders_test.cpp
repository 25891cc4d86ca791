#include "platform/exec_folders.h"

#include "support/needs_root.h"
#include "support/other_user_client.h"
#include "support/test_platform.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>


#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {
namespace {

// What a helper killed in the middle of a start leaves goes at the next launch; what may be a
// helper's running now, another user's, or anything that is not such a folder stays.
TEST(ExecFolders, OnlyTheUsersOwnLeftFoldersAreSwept)
{
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    const QByteArray base = QFile::encodeName(temporary.path());
    QByteArray held;
    const int live = makeExecFolder(temporary.path(), held);
    ASSERT_GE(live, 0);
    ASSERT_EQ(::symlinkat("/proc/self/fd/7", live, "rigctld"), 0);

    struct Row {
        const char *name;
        const char *folder;
        mode_t mode;
        QList<QByteArray> links;
        QList<QByteArray> files;
        bool theirs;
        bool swept;
    };
    const Row rows[] = {
        {"left with its link", "cordavelle-exec-a1B2c3", 0700, {"rigctld"}, {}, false, true},
        {"left before its link", "cordavelle-exec-d4E5f6", 0700, {}, {}, false, true},
        {"another user's", "cordavelle-exec-g7H8i9", 0700, {"rigctld"}, {}, true, false},
        {"holding a file besides", "cordavelle-exec-j1K2l3", 0700, {"rigctld"}, {"notes"}, false, false},
        {"open to the group", "cordavelle-exec-m4N5o6", 0770, {"rigctld"}, {}, false, false},
        {"of another name", "cordavelle-exec-p7Q8r9s", 0700, {"rigctld"}, {}, false, false},
    };
    int expected = 0;
    QList<const Row *> made;
    for (const Row &row : rows) {
        if (row.theirs && !test::runsAsRoot()) {
            continue;
        }
        const QByteArray folder = base + '/' + row.folder;
        ASSERT_EQ(::mkdir(folder.constData(), 0700), 0) << row.name;
        for (const QByteArray &link : row.links) {
            ASSERT_EQ(::symlink("/proc/self/fd/9", (folder + '/' + link).constData()), 0) << row.name;
        }
        for (const QByteArray &file : row.files) {
            QFile out(QFile::decodeName(folder + '/' + file));
            ASSERT_TRUE(out.open(QIODevice::WriteOnly)) << row.name;
        }
        if (row.theirs) {
            ASSERT_EQ(::chown(folder.constData(), test::kOtherUid, test::kOtherUid), 0);
        }
        ASSERT_EQ(::chmod(folder.constData(), row.mode), 0) << row.name;
        expected += row.swept ? 1 : 0;
        made << &row;
    }
    // A link of the name, to a folder that would pass: neither it nor what it leads to goes.
    const QByteArray aside = base + "/aside";
    ASSERT_EQ(::mkdir(aside.constData(), 0700), 0);
    ASSERT_EQ(::symlink(aside.constData(), (base + "/cordavelle-exec-t1U2v3").constData()), 0);

    EXPECT_EQ(sweepLeftExecFolders(temporary.path()), expected);
    for (const Row *row : made) {
        struct stat st {};
        const bool there = ::lstat((base + '/' + row->folder).constData(), &st) == 0;
        EXPECT_EQ(there, !row->swept) << row->name;
    }
    struct stat st {};
    EXPECT_EQ(::lstat((base + "/cordavelle-exec-t1U2v3").constData(), &st), 0);
    EXPECT_EQ(::lstat(aside.constData(), &st), 0);
    // A helper still holds this one.
    EXPECT_EQ(::lstat(held.constData(), &st), 0);
    ::close(live);
    EXPECT_EQ(sweepLeftExecFolders(temporary.path()), 1);
    SKIP_UNLESS_ROOT("the row with another user's folder");
}

// A temporary folder that takes no folder is said once, not at every start of a program.
TEST(ExecFolders, AFolderThatCanNotBeMadeIsToldOnce)
{
    test::TestPlatform env;
    QByteArray path;
    for (int start = 0; start < 3; ++start) {
        EXPECT_EQ(makeExecFolder(env.root() + QStringLiteral("/missing"), path), -1);
    }
    EXPECT_EQ(env.log().messages().filter(QStringLiteral("No private folder could be made")).size(), 1);
}

} // namespace
} // namespace cordavelle
