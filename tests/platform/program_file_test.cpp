#include "platform/program_file.h"

#include "platform/platform.h"

#include "support/fixed_accounts.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {
namespace {

// A uid and gid that own nothing on the machine.
constexpr uid_t kStranger = 54321;

// What a path should come to: the file to run, or what another user could change, or why the
// file can't be used.
struct Expected {
    QString path;
    QString resolved;
    std::optional<QString> changeable;
    std::optional<QString> unusable;
    ProgramUse use = ProgramUse::run;
};

class ProgramPathCheck : public ::testing::Test {
protected:
    ProgramPathCheck()
    {
        // By default the user's files are in a group that other users share.
        accounts->users[::geteuid()] = {QStringLiteral("alice"), ::getegid()};
        accounts->groups[::getegid()] = {QStringLiteral("users"), {}};
        auto context = std::make_unique<Platform>();
        context->setAccounts(accounts);
        scope = std::make_unique<Platform::Scope>(std::move(context));
    }

    QString at(const QString &name) const { return base + QLatin1Char('/') + name; }

    QString program(const QString &name, mode_t mode = 0755)
    {
        const QString path = at(name);
        EXPECT_TRUE(test::writeProgram(path));
        EXPECT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
        return path;
    }

    QString folder(const QString &name, mode_t mode)
    {
        const QString path = at(name);
        EXPECT_TRUE(QDir().mkpath(path));
        EXPECT_EQ(::chmod(QFile::encodeName(path).constData(), mode), 0);
        return path;
    }

    QString link(const QString &name, const QString &target)
    {
        EXPECT_EQ(::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at(name)).constData()), 0) << name.toStdString();
        return at(name);
    }

    void giveToStranger(const QString &name)
    {
        EXPECT_EQ(::lchown(QFile::encodeName(at(name)).constData(), kStranger, kStranger), 0) << name.toStdString();
    }

    void expectAll(const std::vector<Expected> &rows)
    {
        for (const Expected &row : rows) {
            SCOPED_TRACE(row.path.toStdString());
            const ProgramFile file = inspectProgramFile(row.path, row.use, at(QStringLiteral("prefix")));
            EXPECT_EQ(file.changeable, row.changeable);
            EXPECT_EQ(file.unusable, row.unusable);
            if (!row.resolved.isEmpty()) {
                EXPECT_EQ(file.resolved, row.resolved);
            }
        }
    }

    std::shared_ptr<test::FixedAccounts> accounts = std::make_shared<test::FixedAccounts>();
    std::unique_ptr<Platform::Scope> scope;
    QTemporaryDir root;
    const QString base = QFileInfo(root.path()).canonicalFilePath();
};

TEST_F(ProgramPathCheck, LinksAreFollowedToAFileThatOnlyRootOrTheUserCanChange)
{
    ASSERT_TRUE(root.isValid());
    const QString own = program(QStringLiteral("own"));
    const QString plain = program(QStringLiteral("plain"), 0644);
    const QString group = program(QStringLiteral("group"), 0775);
    program(QStringLiteral("other"), 0757);
    const QString tool = program(QStringLiteral("sub/tool"));
    link(QStringLiteral("link"), QStringLiteral("own"));
    link(QStringLiteral("chain"), at(QStringLiteral("link")));
    link(QStringLiteral("dirlink"), QStringLiteral("sub"));
    link(QStringLiteral("to-group"), group);
    link(QStringLiteral("loop"), QStringLiteral("loop"));
    folder(QStringLiteral("open"), 0777);
    program(QStringLiteral("open/tool"));
    link(QStringLiteral("open/link"), own);
    const QString sticky = folder(QStringLiteral("sticky"), 01777);
    const QString inSticky = program(QStringLiteral("sticky/tool"));
    const QString vara = program(QStringLiteral("prefix/drive_c/VARA/VARA.exe"), 0644);
    const QString elsewhere = program(QStringLiteral("prefix/data/modem.exe"), 0644);
    folder(QStringLiteral("prefix/dosdevices"), 0755);
    link(QStringLiteral("prefix/dosdevices/d:"), QStringLiteral("../data"));
    const QString openFolder = QStringLiteral("the folder %1 is writable by others").arg(at(QStringLiteral("open")));
    QString zDrive = QStringLiteral("Z:") + plain;
    zDrive.replace(QLatin1Char('/'), QLatin1Char('\\'));

    expectAll({
        {own, own, {}, {}},
        {QStringLiteral("/bin/sh"), QFileInfo(QStringLiteral("/bin/sh")).canonicalFilePath(), {}, {}},
        {base + QStringLiteral("/./sub/../own"), own, {}, {}},
        {at(QStringLiteral("chain")), own, {}, {}},
        {at(QStringLiteral("dirlink/tool")), tool, {}, {}},
        {inSticky, inSticky, {}, {}},
        {group, {}, QStringLiteral("the file %1 is writable by the group users, which can hold other users").arg(group), {}},
        {at(QStringLiteral("other")), {}, QStringLiteral("the file %1 is writable by others").arg(at(QStringLiteral("other"))), {}},
        {at(QStringLiteral("to-group")), {}, QStringLiteral("the file %1 is writable by the group users, which can hold other users").arg(group), {}},
        {at(QStringLiteral("open/tool")), {}, openFolder, {}},
        {at(QStringLiteral("open/link")), {}, openFolder, {}},
        // Anyone may put the missing file into a sticky folder.
        {sticky + QStringLiteral("/missing"), {}, QStringLiteral("the folder %1 is writable by others").arg(sticky), {}},
        {at(QStringLiteral("missing")), at(QStringLiteral("missing")), {}, at(QStringLiteral("missing")) + " can't be used: No such file or directory"},
        {at(QStringLiteral("own/x")), {}, {}, own + " can't be used: Not a directory"},
        {at(QStringLiteral("sub")), {}, {}, at(QStringLiteral("sub")) + " is not a regular file"},
        {plain, {}, {}, plain + " is not executable"},
        {at(QStringLiteral("loop")), {}, {}, at(QStringLiteral("loop")) + " can't be resolved: Too many levels of symbolic links"},
        {QStringLiteral("bin/sh"), {}, {}, QStringLiteral("bin/sh is not an absolute path")},
        {QStringLiteral("C:\\VARA\\VARA.exe"), {}, {}, QStringLiteral("C:\\VARA\\VARA.exe is not an absolute path")},
        // Wine reads the modem's program, and finds it on its drives in any case.
        {plain, plain, {}, {}, ProgramUse::wine},
        {QStringLiteral("C:\\VARA\\VARA.exe"), vara, {}, {}, ProgramUse::wine},
        {QStringLiteral("c:/vara/vara.EXE"), vara, {}, {}, ProgramUse::wine},
        {QStringLiteral("D:\\modem.exe"), elsewhere, {}, {}, ProgramUse::wine},
        {zDrive, plain, {}, {}, ProgramUse::wine},
    });
}

// Where every user has a group of their own, as under a session umask of 002, the user's files
// are group-writable and still the user's alone.
TEST_F(ProgramPathCheck, GroupWriteCountsOnlyWhereTheGroupCanHoldAnotherUser)
{
    ASSERT_TRUE(root.isValid());
    const QString bin = folder(QStringLiteral("bin"), 0775);
    const QString tool = program(QStringLiteral("bin/tool"), 0775);
    program(QStringLiteral("bin/other"), 0757);
    const QString user = QStringLiteral("alice");
    const auto byGroup = [&](const QString &group) {
        return QStringLiteral("the folder %1 is writable by the group %2, which can hold other users").arg(bin, group);
    };
    struct Row {
        const char *groups;
        QString groupName;
        QStringList members;
        // Another account whose primary group is the user's group.
        bool sharedAsPrimary;
        QString path;
        std::optional<QString> changeable;
    };
    const std::vector<Row> rows{
        {"private group", user, {}, false, tool, {}},
        {"private group listing the user", user, {user}, false, tool, {}},
        {"private group, missing file", user, {}, false, at(QStringLiteral("bin/missing")), {}},
        {"others still count", user, {}, false, at(QStringLiteral("bin/other")),
         QStringLiteral("the file %1 is writable by others").arg(at(QStringLiteral("bin/other")))},
        {"group with another member", user, {user, QStringLiteral("bob")}, false, tool, byGroup(user)},
        {"group that is another account's primary group", user, {}, true, tool, byGroup(user)},
        {"shared primary group", QStringLiteral("users"), {}, false, tool, byGroup(QStringLiteral("users"))},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.groups);
        accounts->groups[::getegid()] = {row.groupName, row.members};
        accounts->users.erase(kStranger);
        if (row.sharedAsPrimary) {
            accounts->users[kStranger] = {QStringLiteral("bob"), ::getegid()};
        }
        EXPECT_EQ(inspectProgramFile(row.path).changeable, row.changeable);
    }
    // An account that shares the group may be among those a failed read left out.
    accounts->groups[::getegid()] = {user, {}};
    accounts->usersUnreadable = true;
    EXPECT_EQ(inspectProgramFile(tool).changeable, byGroup(user));
    accounts->groups.clear();
    EXPECT_EQ(inspectProgramFile(tool).changeable, QStringLiteral("the folder %1 is writable by the group %2, which can hold other users")
                                                        .arg(bin, QString::number(::getegid())));
}

TEST_F(ProgramPathCheck, WhatAnotherUserOwnsOrMayWriteIsNotTrusted)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "giving files to another user needs root";
    }
    ASSERT_TRUE(root.isValid());
    scope->context().setAccounts(std::make_shared<SystemAccounts>());
    const QString own = program(QStringLiteral("own"));
    program(QStringLiteral("theirs"));
    giveToStranger(QStringLiteral("theirs"));
    program(QStringLiteral("their-folder/tool"));
    giveToStranger(QStringLiteral("their-folder"));
    // A folder they share with root, as group and sticky: their link in it may be re-pointed.
    const QString shared = folder(QStringLiteral("shared"), 0775);
    ASSERT_EQ(::chown(QFile::encodeName(shared).constData(), 0, kStranger), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 01775), 0);
    link(QStringLiteral("shared/rigctld"), QStringLiteral("/bin/sh"));
    giveToStranger(QStringLiteral("shared/rigctld"));
    link(QStringLiteral("shared/mine"), own);
    // The user's own link to theirs, which leads on to a program of root.
    folder(QStringLiteral("safe"), 0755);
    link(QStringLiteral("safe/tool"), QStringLiteral("/bin/sh"));
    giveToStranger(QStringLiteral("safe/tool"));
    link(QStringLiteral("rig"), at(QStringLiteral("safe/tool")));
    program(QStringLiteral("sub/tool"));
    link(QStringLiteral("their-dirlink"), QStringLiteral("sub"));
    giveToStranger(QStringLiteral("their-dirlink"));
    // Group-writable for a group of others, two folders above the program.
    const QString team = folder(QStringLiteral("team"), 0775);
    ASSERT_EQ(::chown(QFile::encodeName(team).constData(), 0, kStranger), 0);
    program(QStringLiteral("team/bin/tool"));
    // Root's own group holds nobody else; the group every user may be put in can hold anyone.
    const QString rootGroup = folder(QStringLiteral("root-group"), 0775);
    ASSERT_EQ(::chown(QFile::encodeName(rootGroup).constData(), 0, 0), 0);
    const QString rootTool = program(QStringLiteral("root-group/tool"), 0775);
    const struct group *users = ::getgrnam("users");
    ASSERT_NE(users, nullptr);
    const QString usersFolder = folder(QStringLiteral("users"), 0775);
    ASSERT_EQ(::chown(QFile::encodeName(usersFolder).constData(), 0, users->gr_gid), 0);
    program(QStringLiteral("users/tool"));

    expectAll({
        {at(QStringLiteral("theirs")), {}, "the file " + at(QStringLiteral("theirs")) + " belongs to another user", {}},
        {at(QStringLiteral("their-folder/tool")), {}, "the folder " + at(QStringLiteral("their-folder")) + " belongs to another user", {}},
        {at(QStringLiteral("shared/rigctld")), {}, "the link " + at(QStringLiteral("shared/rigctld")) + " belongs to another user", {}},
        {at(QStringLiteral("shared/mine")), own, {}, {}},
        {at(QStringLiteral("rig")), {}, "the link " + at(QStringLiteral("safe/tool")) + " belongs to another user", {}},
        {at(QStringLiteral("their-dirlink/tool")), {}, "the link " + at(QStringLiteral("their-dirlink")) + " belongs to another user", {}},
        {at(QStringLiteral("team/bin/tool")), {}, QStringLiteral("the folder %1 is writable by the group %2, which can hold other users").arg(team).arg(kStranger), {}},
        {rootTool, rootTool, {}, {}},
        {at(QStringLiteral("users/tool")), {}, "the folder " + usersFolder + " is writable by the group users, which can hold other users", {}},
    });
}

} // namespace
} // namespace cordavelle
