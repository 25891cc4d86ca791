#include "platform/program_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {
namespace {

// A uid that owns nothing on the machine.
constexpr uid_t kStranger = 54321;

class ProgramFile : public ::testing::Test {
protected:
    // A file with `mode` in `folder` (made with `folderMode` when new) below the test's own folder.
    QString make(const QString &name, mode_t mode, const QString &folder = {}, mode_t folderMode = 0700)
    {
        QString dir = root.path();
        if (!folder.isEmpty()) {
            dir += QLatin1Char('/') + folder;
            QDir().mkpath(dir);
            ::chmod(QFile::encodeName(dir).constData(), folderMode);
        }
        const QString path = dir + QLatin1Char('/') + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
        file.close();
        ::chmod(QFile::encodeName(path).constData(), mode);
        return path;
    }

    QTemporaryDir root;
};

TEST_F(ProgramFile, OnlyFilesAndFoldersThatNobodyElseCanChangeAreTrusted)
{
    ASSERT_TRUE(root.isValid());
    const QString own = make("own", 0755);
    EXPECT_EQ(untrustedProgramReason(own), std::nullopt);
    EXPECT_EQ(untrustedProgramReason(QStringLiteral("/bin/sh")), std::nullopt);
    EXPECT_EQ(untrustedProgramReason(root.path() + "/./sub/../own"), std::nullopt);

    const QString link = root.filePath("link");
    ASSERT_TRUE(QFile::link(own, link));
    EXPECT_EQ(untrustedProgramReason(link), std::nullopt);

    const QString groupWritable = make("group", 0775);
    const QString otherWritable = make("other", 0757);
    const QString inOpenFolder = make("tool", 0755, "open", 0777);
    const QString inStickyFolder = make("tool", 0755, "sticky", 01777);
    const QString linkToShared = root.filePath("link-to-shared");
    ASSERT_TRUE(QFile::link(groupWritable, linkToShared));
    const QString linkInOpenFolder = root.filePath("open/link");
    ASSERT_TRUE(QFile::link(own, linkInOpenFolder));

    const std::pair<QString, QString> refused[] = {
        {groupWritable, groupWritable + " can be changed by other users"},
        {otherWritable, otherWritable + " can be changed by other users"},
        {linkToShared, linkToShared + " can be changed by other users"},
        {inOpenFolder, "the folder " + root.path() + "/open can be changed by other users"},
        {linkInOpenFolder, "the folder " + root.path() + "/open can be changed by other users"},
        {root.path(), root.path() + " is not a regular file"},
        {root.filePath("missing"), root.filePath("missing") + " can't be used: No such file or directory"},
        {QStringLiteral("bin/sh"), "bin/sh is not an absolute path"},
        {QString(), " is not an absolute path"},
    };
    for (const auto &[path, reason] : refused) {
        EXPECT_EQ(untrustedProgramReason(path), reason) << path.toStdString();
    }
    // Only root may own a sticky folder that others write to.
    if (::geteuid() == 0) {
        EXPECT_EQ(untrustedProgramReason(inStickyFolder), std::nullopt);
    } else {
        EXPECT_TRUE(untrustedProgramReason(inStickyFolder));
    }
}

TEST_F(ProgramFile, AFileOrFolderOfAnotherUserIsNotTrusted)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user needs root";
    }
    const QString theirs = make("theirs", 0755);
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), kStranger, kStranger), 0);
    EXPECT_EQ(untrustedProgramReason(theirs), theirs + " belongs to another user");

    const QString inTheirFolder = make("tool", 0755, "theirs-folder", 0755);
    ASSERT_EQ(::chown(QFile::encodeName(root.filePath("theirs-folder")).constData(), kStranger, kStranger), 0);
    EXPECT_EQ(untrustedProgramReason(inTheirFolder), "the folder " + root.filePath("theirs-folder") + " belongs to another user");
}

} // namespace
} // namespace cordavelle
