#include "install/own_file_modes.h"

#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

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
    int changing = 4;
    if (::geteuid() == 0) {
        const QString theirs = base + "/theirs";
        ASSERT_TRUE(test::writeFile(theirs, "x"));
        ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), 54321, 54321), 0);
        entries.push_back({theirs, 0666, 0666});
    }
    for (const Entry &entry : entries) {
        ASSERT_EQ(::chmod(QFile::encodeName(entry.path).constData(), entry.before), 0);
    }
    EXPECT_FALSE(isRunnableOwnCopy(rigctld));

    const ModeTightening result = tightenOwnModes(base);
    EXPECT_EQ(result.tightened, changing);
    EXPECT_EQ(result.failed, 0);
    for (const Entry &entry : entries) {
        EXPECT_EQ(modeOf(entry.path), entry.after) << entry.path.toStdString();
    }
    EXPECT_TRUE(isRunnableOwnCopy(rigctld));
    EXPECT_EQ(tightenOwnModes(base).tightened, 0);
}

} // namespace
} // namespace cordavelle
