#include "platform/program_file.h"

#include "platform/entry_writers.h"
#include "platform/platform.h"

#include "support/fixed_accounts.h"
#include "support/needs_root.h"
#include "support/other_user_client.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <grp.h>
#include <pwd.h>
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
        EXPECT_TRUE(test::writeProgramWithMode(path, "#!/bin/sh\n", mode));
        return path;
    }

    QString folder(const QString &name, mode_t mode)
    {
        const QString path = at(name);
        EXPECT_TRUE(test::makeFolderWithMode(path, mode));
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
        QStringList members = {};
        // The members of a second group entry with the same id.
        QStringList sameIdMembers = {};
        // Another account whose primary group is the user's group.
        bool sharedAsPrimary = false;
        // The user's primary group is another one.
        bool notPrimary = false;
        GroupHolders::Read read = GroupHolders::Read::whole;
        QString path;
        std::optional<QString> changeable;
    };
    const std::vector<Row> rows{
        {.groups = "private group", .groupName = user, .path = tool, .changeable = {}},
        {.groups = "private group listing the user", .groupName = user, .members = {user}, .path = tool, .changeable = {}},
        {.groups = "private group, missing file", .groupName = user, .path = at(QStringLiteral("bin/missing")), .changeable = {}},
        {.groups = "others still count", .groupName = user, .path = at(QStringLiteral("bin/other")),
         .changeable = QStringLiteral("the file %1 is writable by others").arg(at(QStringLiteral("bin/other")))},
        {.groups = "group with another member", .groupName = user, .members = {user, QStringLiteral("bob")}, .path = tool,
         .changeable = byGroup(user)},
        {.groups = "group that is another account's primary group", .groupName = user, .sharedAsPrimary = true, .path = tool,
         .changeable = byGroup(user)},
        {.groups = "second entry of the id listing another user", .groupName = user, .sameIdMembers = {QStringLiteral("bob")},
         .path = tool, .changeable = byGroup(user)},
        {.groups = "second entry of the id listing the user", .groupName = user, .sameIdMembers = {user}, .path = tool, .changeable = {}},
        {.groups = "named as the user but not the user's primary group", .groupName = user, .notPrimary = true, .path = tool,
         .changeable = byGroup(user)},
        {.groups = "shared primary group", .groupName = QStringLiteral("users"), .path = tool, .changeable = byGroup(QStringLiteral("users"))},
        // An account that shares the group may be among those a failed read left out.
        {.groups = "databases not read to their end", .groupName = user, .read = GroupHolders::Read::cutShort, .path = tool,
         .changeable = byGroup(user)},
        {.groups = "databases still being read", .groupName = user, .read = GroupHolders::Read::underway, .path = tool,
         .changeable = QStringLiteral("the folder %1 is writable by the group %2, whose members are still being read").arg(bin, user)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.groups);
        accounts->groups[::getegid()] = {row.groupName, row.members};
        accounts->sameIdGroups = {{::getegid(), {QStringLiteral("second"), row.sameIdMembers}}};
        accounts->users[::geteuid()].primaryGroup = row.notPrimary ? ::getegid() + 1 : ::getegid();
        accounts->users.erase(kStranger);
        if (row.sharedAsPrimary) {
            accounts->users[kStranger] = {QStringLiteral("bob"), ::getegid()};
        }
        accounts->holdersRead = row.read;
        EXPECT_EQ(inspectProgramFile(row.path).changeable, row.changeable);
    }
    accounts->groups.clear();
    accounts->holdersRead = GroupHolders::Read::whole;
    EXPECT_EQ(inspectProgramFile(tool).changeable, byGroup(QString::number(::getegid())));
}

// An access list gives write past the mode bits, whose group bits are then its mask.
TEST_F(ProgramPathCheck, WriteThatAnAccessListGivesCountsUnlessItsMaskTakesItAway)
{
    ASSERT_TRUE(root.isValid());
    const QString user = QStringLiteral("alice");
    accounts->groups[::getegid()] = {user, {}};
    accounts->users[kStranger] = {QStringLiteral("bob"), kStranger};
    accounts->groups[kStranger] = {QStringLiteral("team"), {QStringLiteral("bob")}};
    struct Row {
        const char *entries;
        // The file's own folder, else the file, gets them.
        bool onFolder;
        QString acl;
        std::optional<QString> through;
    };
    const QString stranger = QString::number(kStranger);
    const std::vector<Row> rows{
        {"another user", true, "u:" + stranger + ":rwx", QStringLiteral("gives write to the user bob through an access list")},
        {"another user", false, "u:" + stranger + ":rw", QStringLiteral("gives write to the user bob through an access list")},
        {"another user, masked", true, "u:" + stranger + ":rwx,m::rx", {}},
        {"another user, masked", false, "u:" + stranger + ":rwx,m::r", {}},
        {"a shared group", true, "g:" + stranger + ":rwx", QStringLiteral("gives write to the group team through an access list")},
        {"a shared group", false, "g:" + stranger + ":rwx", QStringLiteral("gives write to the group team through an access list")},
        {"a shared group, masked", false, "g:" + stranger + ":rwx,m::rx", {}},
        {"the user and the user's own group", true, QStringLiteral("u:%1:rwx,g:%2:rwx").arg(::geteuid()).arg(::getegid()), {}},
        {"another user, read only", false, "u:" + stranger + ":rx", {}},
    };
    int made = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.entries) + (row.onFolder ? " on a folder" : " on a file"));
        const QString dir = folder(QStringLiteral("acl%1").arg(++made), 0755);
        const QString tool = program(QStringLiteral("acl%1/tool").arg(made), 0755);
        const QString target = row.onFolder ? dir : tool;
        const int set = QProcess::execute(QStringLiteral("setfacl"), {QStringLiteral("-m"), row.acl, target});
        if (set != 0 && made == 1) {
            GTEST_SKIP() << "the file system of " << base.toStdString() << " keeps no access lists";
        }
        ASSERT_EQ(set, 0);
        const std::optional<QString> expected =
            row.through ? std::optional(QStringLiteral("the %1 %2 %3").arg(row.onFolder ? "folder" : "file", target, *row.through))
                        : std::nullopt;
        EXPECT_EQ(inspectProgramFile(tool).changeable, expected);
    }
}

// Anyone may be on an access list that can't be read.
TEST_F(ProgramPathCheck, AnAccessListThatCantBeReadCountsAsAWriter)
{
    ASSERT_TRUE(root.isValid());
    const QString tool = program(QStringLiteral("tool"));
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(tool).constData(), &st), 0);
    struct Row {
        const char *list;
        EntryWriters::ReadAttribute read;
        std::optional<QString> writers;
    };
    const std::vector<Row> rows{
        {"none", [](const char *, const char *, void *, size_t) -> ssize_t { return errno = ENODATA, -1; }, {}},
        {"failing to read", [](const char *, const char *, void *, size_t) -> ssize_t { return errno = EIO, -1; },
         QStringLiteral("has an access list that can't be read (Input/output error)")},
        {"of a version unknown",
         [](const char *, const char *, void *value, size_t size) -> ssize_t {
             const char header[4] = {9, 0, 0, 0};
             if (size >= sizeof header) {
                 std::memcpy(value, header, sizeof header);
             }
             return sizeof header;
         },
         QStringLiteral("has an access list that can't be read (Invalid argument)")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.list);
        EXPECT_EQ(EntryWriters(*accounts, row.read).of(tool, st), row.writers);
    }
}

TEST_F(ProgramPathCheck, WhatAnotherUserOwnsOrMayWriteIsNotTrusted)
{
    SKIP_UNLESS_ROOT("giving files to another user");
    ASSERT_TRUE(root.isValid());
    scope->context().setAccounts(std::make_shared<SystemAccounts>(std::chrono::seconds(30)));
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

// Accounts of the machine's own databases, made for one test and removed after it.
class MadeAccounts {
public:
    MadeAccounts() { removeAll(); }
    ~MadeAccounts() { removeAll(); }
    MadeAccounts(const MadeAccounts &) = delete;
    MadeAccounts &operator=(const MadeAccounts &) = delete;

    static constexpr const char *kDesktop = "cdvck-desk";
    static constexpr const char *kOther = "cdvck-other";
    static constexpr const char *kSecondEntry = "cdvck-second";

    static bool run(const QString &program, const QStringList &arguments)
    {
        return QProcess::execute(program, arguments) == 0;
    }

private:
    static void removeAll()
    {
        // Without the accounts first, the groups would still be their primary groups.
        for (const char *user : {kDesktop, kOther}) {
            QProcess::execute(QStringLiteral("userdel"), {QString::fromLatin1(user)});
        }
        for (const char *group : {kSecondEntry, kDesktop, kOther}) {
            QProcess::execute(QStringLiteral("groupdel"), {QString::fromLatin1(group)});
        }
    }
};

// A desktop user with a group of its own and umask 002, and another local user: what an access
// list or a second entry of the user's group id gives the other user, the check sees through the
// system's own databases.
TEST_F(ProgramPathCheck, AnotherRealUserLetInByAnAccessListOrASecondGroupEntryIsSeen)
{
    SKIP_UNLESS_ROOT("making accounts and looking as one of them");
    ASSERT_TRUE(root.isValid());
    MadeAccounts made;
    for (const char *user : {MadeAccounts::kDesktop, MadeAccounts::kOther}) {
        ASSERT_TRUE(MadeAccounts::run(QStringLiteral("useradd"), {QStringLiteral("-M"), QStringLiteral("-U"), QString::fromLatin1(user)}));
    }
    const struct passwd *desktop = ::getpwnam(MadeAccounts::kDesktop);
    ASSERT_NE(desktop, nullptr);
    const uid_t uid = desktop->pw_uid;
    const gid_t gid = desktop->pw_gid;
    ASSERT_EQ(::chmod(QFile::encodeName(base).constData(), 0755), 0);
    const QString other = QString::fromLatin1(MadeAccounts::kOther);
    struct Row {
        const char *entries;
        bool onFolder;
        QString acl;
        std::optional<QString> through;
    };
    const std::vector<Row> rows{
        {"none", true, {}, {}},
        {"the other user", true, "u:" + other + ":rwx", "gives write to the user " + other + " through an access list"},
        {"the other user", false, "u:" + other + ":rwx", "gives write to the user " + other + " through an access list"},
        {"the other user, masked", true, "u:" + other + ":rwx,m::rx", {}},
        {"the other user, masked", false, "u:" + other + ":rwx,m::rx", {}},
        {"the other user's group", true, "g:" + other + ":rwx", "gives write to the group " + other + " through an access list"},
        {"the other user's group", false, "g:" + other + ":rwx", "gives write to the group " + other + " through an access list"},
        {"the other user's group, masked", false, "g:" + other + ":rwx,m::r", {}},
    };
    const auto check = [&](const QString &tool) {
        // Answers about the databases are remembered; each look gets fresh ones.
        scope->context().setAccounts(std::make_shared<SystemAccounts>(std::chrono::seconds(30)));
        const test::ActingAs acting(uid);
        EXPECT_TRUE(acting.ok());
        return inspectProgramFile(tool).changeable;
    };
    int count = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.entries) + (row.onFolder ? " on a folder" : " on a file"));
        const QString dir = folder(QStringLiteral("acl%1").arg(++count), 0775);
        const QString tool = program(QStringLiteral("acl%1/tool").arg(count), 0775);
        for (const QString &path : {dir, tool}) {
            ASSERT_EQ(::chown(QFile::encodeName(path).constData(), uid, gid), 0);
        }
        const QString target = row.onFolder ? dir : tool;
        if (!row.acl.isEmpty()) {
            ASSERT_TRUE(MadeAccounts::run(QStringLiteral("setfacl"), {QStringLiteral("-m"), row.acl, target}));
        }
        const std::optional<QString> expected =
            row.through ? std::optional(QStringLiteral("the %1 %2 %3").arg(row.onFolder ? "folder" : "file", target, *row.through))
                        : std::nullopt;
        EXPECT_EQ(check(tool), expected);
    }
    // A second group entry with the desktop user's group id that lists the other user.
    ASSERT_TRUE(MadeAccounts::run(QStringLiteral("groupadd"), {QStringLiteral("-o"), QStringLiteral("-g"), QString::number(gid),
                                                               QStringLiteral("-U"), other, QString::fromLatin1(MadeAccounts::kSecondEntry)}));
    EXPECT_EQ(check(at(QStringLiteral("acl1/tool"))),
              QStringLiteral("the folder %1 is writable by the group %2, which can hold other users")
                  .arg(at(QStringLiteral("acl1")), QString::fromLatin1(MadeAccounts::kDesktop)));
}

} // namespace
} // namespace cordavelle
