#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "platform/command_runner.h"
#include "support/fixed_accounts.h"
#include "support/needs_root.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <functional>
#include <utility>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

const QByteArray kThinX86 = QByteArray::fromHex("cffaedfe07000001030000000000000000000000");
const QByteArray kThinArm = QByteArray::fromHex("cffaedfe0c000001000000000000000000000000");

void makeTool(const QString &path, bool executable = true)
{
    ASSERT_TRUE(test::writeProgram(path, "#!/bin/sh\n", executable));
}

void putExecutable(const QString &path, const QByteArray &bytes) { ASSERT_TRUE(test::writeProgram(path, bytes)); }

TEST(HelperPlaces, OwnInstallsLieInTheSupportFolder)
{
    test::TestPlatform env;
    const QString support = env.platform().paths().applicationSupport() + "/Cordavelle Helper";
    EXPECT_EQ(places::supportFolder(), support);
    EXPECT_EQ(places::wineFolder(), support + "/wine");
    EXPECT_EQ(places::ownWineBinary(), support + "/wine/bin/wine");
    EXPECT_EQ(places::ownWineserver(), support + "/wine/bin/wineserver");
    EXPECT_EQ(places::hamlibFolder(), support + "/hamlib");
    EXPECT_EQ(places::ownRigctld(), support + "/hamlib/bin/rigctld");
    EXPECT_EQ(places::legacyDirewolfFolder(), support + "/direwolf");
    EXPECT_EQ(places::varaExecutable(VARAVariant::fm), support + "/wine-prefix/drive_c/VARA FM/VARAFM.exe");
    EXPECT_EQ(places::varaIniFile(VARAVariant::hf), support + "/wine-prefix/drive_c/VARA/VARA.ini");
}

TEST(ToolLookup, FindWineTakesTheFirstExecutableInOrderWithTheSystemFoldersLast)
{
    test::TestPlatform env;
    EXPECT_EQ(tools::findWine(), std::nullopt);

    makeTool(env.hostPath("/bin/wine"));
    EXPECT_EQ(tools::findWine(), env.hostPath("/bin/wine"));
    makeTool(env.hostPath("/usr/bin/wine"));
    EXPECT_EQ(tools::findWine(), env.hostPath("/usr/bin/wine"));
    makeTool(env.hostPath("/usr/local/bin/wine"));
    EXPECT_EQ(tools::findWine(), env.hostPath("/usr/local/bin/wine"));
    makeTool(env.hostPath("/usr/local/bin/wine64"));
    EXPECT_EQ(tools::findWine(), env.hostPath("/usr/local/bin/wine64"));
    makeTool(env.hostPath("/opt/homebrew/bin/wine"));
    EXPECT_EQ(tools::findWine(), env.hostPath("/opt/homebrew/bin/wine"));
    makeTool(env.hostPath("/opt/homebrew/bin/wine64"));
    EXPECT_EQ(tools::findWine(), env.hostPath("/opt/homebrew/bin/wine64"));

    // The helper's own Wine counts only when it can be run.
    makeTool(places::ownWineBinary(), false);
    EXPECT_EQ(tools::findWine(), env.hostPath("/opt/homebrew/bin/wine64"));
    QFile::remove(places::ownWineBinary());
    QDir().mkpath(places::ownWineBinary());
    EXPECT_EQ(tools::findWine(), env.hostPath("/opt/homebrew/bin/wine64")) << "a folder is no Wine";
    QDir().rmdir(places::ownWineBinary());
    makeTool(places::ownWineBinary());
    EXPECT_EQ(tools::findWine(), places::ownWineBinary());
}

TEST(ToolLookup, ASystemWineCountsOnlyWhenItCanRun32BitPrograms)
{
    const struct {
        const char *name;
        QStringList programs;
        QStringList folders;
        const char *usable;
        const char *without32Bit;
        bool debian;
        // Each link and where it leads.
        std::vector<std::pair<QString, QString>> links = {};
    } cases[] = {
        {"Debian's 64-bit Wine alone", {"/usr/bin/wine", "/usr/lib/wine/wine64"}, {}, nullptr, "/usr/bin/wine", true},
        {"Debian's Wine with wine32",
         {"/usr/bin/wine", "/usr/lib/wine/wine64", "/usr/lib/wine/wine"}, {}, "/usr/bin/wine", nullptr, true},
        {"a WoW64 build",
         {"/usr/local/bin/wine"}, {"/usr/local/lib/wine/x86_64-windows", "/usr/local/lib/wine/i386-windows"},
         "/usr/local/bin/wine", nullptr, false},
        {"a 64-bit build", {"/usr/local/bin/wine"}, {"/usr/local/lib64/wine/x86_64-windows"}, nullptr,
         "/usr/local/bin/wine", false},
        {"a 64-bit build before Debian's complete one",
         {"/usr/local/bin/wine", "/usr/bin/wine", "/usr/lib/wine/wine64", "/usr/lib/wine/wine"},
         {"/usr/local/lib/wine/x86_64-windows"}, "/usr/bin/wine", "/usr/local/bin/wine", true},
        {"a Wine whose layout says nothing", {"/usr/bin/wine"}, {}, "/usr/bin/wine", nullptr, false},
        // A link is judged by the tree it leads into, not by the folder it lies in.
        {"a link beside a 64-bit tree into a WoW64 build's",
         {"/opt/wine-stable/bin/wine"}, {"/opt/wine-stable/lib/wine/i386-windows", "/usr/local/lib/wine/x86_64-windows"},
         "/usr/local/bin/wine", nullptr, false, {{"/usr/local/bin/wine", "/opt/wine-stable/bin/wine"}}},
        {"Debian's 64-bit Wine whose alternative leads into a WoW64 build",
         {"/usr/lib/wine/wine64", "/opt/wine-devel/bin/wine"}, {"/opt/wine-devel/lib/wine/i386-windows"},
         "/usr/bin/wine", nullptr, true, {{"/usr/bin/wine", "/opt/wine-devel/bin/wine"}}},
        {"a link to Debian's 64-bit Wine", {"/usr/bin/wine-stable", "/usr/lib/wine/wine64"}, {}, nullptr,
         "/usr/local/bin/wine", true, {{"/usr/local/bin/wine", "/usr/bin/wine-stable"}}},
    };
    for (const auto &c : cases) {
        test::TestPlatform env;
        for (const QString &program : c.programs) {
            makeTool(env.hostPath(program));
        }
        for (const QString &folder : c.folders) {
            ASSERT_TRUE(QDir().mkpath(env.hostPath(folder)));
        }
        for (const auto &[link, target] : c.links) {
            ASSERT_TRUE(QDir().mkpath(QFileInfo(env.hostPath(link)).path()));
            ASSERT_TRUE(QFile::link(env.hostPath(target), env.hostPath(link)));
        }
        const auto expected = [&env](const char *path) {
            return path ? std::optional<QString>(env.hostPath(path)) : std::nullopt;
        };
        EXPECT_EQ(tools::findWine(), expected(c.usable)) << c.name;
        EXPECT_EQ(tools::findWineWithout32Bit(), expected(c.without32Bit)) << c.name;
        EXPECT_EQ(tools::isDebianWine(), c.debian) << c.name;
        // The helper's own Wine is a WoW64 build, whatever the machine has.
        makeTool(places::ownWineBinary());
        EXPECT_EQ(tools::findWine(), places::ownWineBinary()) << c.name;
    }
}

TEST(ToolLookup, OneDirewolfResolverForTheStartAndThePage)
{
    test::TestPlatform env;
    using S = tools::DirewolfSource;
    EXPECT_EQ(tools::resolveDirewolf({}), std::nullopt);
    // A chosen path wins as it stands, even a lone space or a file that is gone.
    EXPECT_EQ(tools::resolveDirewolf(QStringLiteral(" ")), (tools::DirewolfChoice{QStringLiteral(" "), S::custom}));

    const QString legacy = places::legacyDirewolfBinary();
    putExecutable(legacy, kThinX86);
    EXPECT_EQ(tools::resolveDirewolf({}), (tools::DirewolfChoice{legacy, S::legacy})) << "the old copy as a last resort";

    const QString system = env.hostPath("/usr/bin/direwolf");
    putExecutable(system, "\x7f" "ELF\x02\x01\x01\x00");
    EXPECT_EQ(tools::resolveDirewolf({}), (tools::DirewolfChoice{system, S::system})) << "any newer copy beats the old one";

    const QString homebrew = env.hostPath("/opt/homebrew/bin/direwolf");
    putExecutable(homebrew, kThinArm);
    EXPECT_EQ(tools::resolveDirewolf({}), (tools::DirewolfChoice{homebrew, S::packageManager}));
    EXPECT_EQ(tools::resolveDirewolf(legacy), (tools::DirewolfChoice{legacy, S::custom}));

    // On Apple silicon an Intel-only old copy is never chosen.
    QFile::remove(homebrew);
    QFile::remove(system);
    env.systemInfo().architecture = "arm64";
    EXPECT_EQ(tools::resolveDirewolf({}), std::nullopt);
}

TEST(ToolLookup, HomebrewOnLinuxFoldersComeAfterTheSystemsOwn)
{
    test::TestPlatform env;
    const QString shared = env.hostPath("/home/linuxbrew/.linuxbrew/bin");
    const QString own = env.platform().paths().home() + "/.linuxbrew/bin";
    EXPECT_EQ(tools::homebrewOnLinuxFolders(), (QStringList{shared, own}));

    const struct {
        const char *name;
        std::function<std::optional<QString>()> find;
    } lookups[] = {{"brew", tools::findBrew}, {"direwolf", tools::findDirewolf}, {"rigctld", tools::findRigctld}};
    for (const auto &lookup : lookups) {
        const QString name = lookup.name;
        EXPECT_EQ(lookup.find(), std::nullopt) << lookup.name;
        makeTool(own + "/" + name);
        EXPECT_EQ(lookup.find(), own + "/" + name) << lookup.name;
        makeTool(shared + "/" + name);
        EXPECT_EQ(lookup.find(), shared + "/" + name) << lookup.name;
        makeTool(env.hostPath("/usr/bin/" + name));
        EXPECT_EQ(lookup.find(), env.hostPath("/usr/bin/" + name)) << lookup.name << ": the system's copy first";
    }
    // A Direwolf that brew put there is a package manager's, not the system's.
    QFile::remove(env.hostPath("/usr/bin/direwolf"));
    EXPECT_EQ(tools::resolveDirewolf({}), (tools::DirewolfChoice{shared + "/direwolf", tools::DirewolfSource::packageManager}));
}

// The helper's own copy is the first candidate, and passed over like any other where another user
// could change it, for a clean copy that the launch then runs.
TEST(ToolLookup, AnOwnCopyOthersCouldChangeIsPassedOverForACleanOne)
{
    const struct {
        const char *name;
        std::function<QString()> own;
        const char *next;
        std::function<ProgramSearch()> lookUp;
        // What the set-up and the launch take.
        std::function<std::optional<QString>()> find;
    } lookups[] = {
        {"winetricks", places::ownWinetricks, "/usr/local/bin/winetricks", tools::lookUpWinetricks, tools::findWinetricks},
        {"rigctld", places::ownRigctld, "/usr/local/bin/rigctld", tools::lookUpRigctld, tools::findRigctld},
    };
    for (const auto &lookup : lookups) {
        SCOPED_TRACE(lookup.name);
        test::TestPlatform env;
        // The user's files are in a group that other users share.
        auto accounts = std::make_shared<test::FixedAccounts>();
        accounts->users[::geteuid()] = {QStringLiteral("alice"), ::getegid()};
        accounts->groups[::getegid()] = {QStringLiteral("users"), {}};
        env.platform().setAccounts(accounts);
        const QString own = lookup.own();
        ASSERT_TRUE(test::writeProgramWithMode(own, "#!/bin/sh\n", 0775));
        const QString next = env.hostPath(lookup.next);
        makeTool(next);
        const ProgramSearch search = lookup.lookUp();
        EXPECT_EQ(search.found, next);
        EXPECT_EQ(search.passedOver,
                  (PassedOver{own, QStringLiteral("the file %1 is writable by the group users, which can hold other users").arg(own)}));
        EXPECT_EQ(lookup.find(), next);
    }
}

// A copy that someone other than root or this user could change is passed over for the next
// one, and named when no other is left; the command runner refuses it as well.
TEST(ToolLookup, ACopyOfAnotherUserIsPassedOverAndNamed)
{
    SKIP_UNLESS_ROOT("giving a program to another user");
    constexpr uid_t stranger = 54321;
    const struct {
        const char *name;
        const char *theirs;
        const char *next;
        std::function<ProgramSearch()> lookUp;
    } lookups[] = {
        {"rigctld", "/home/linuxbrew/.linuxbrew/bin/rigctld", "/usr/bin/rigctld", tools::lookUpRigctld},
        {"direwolf", "/usr/local/bin/direwolf", "/usr/bin/direwolf",
         [] {
             const tools::DirewolfLookup found = tools::lookUpDirewolf({});
             return ProgramSearch{found.choice ? std::optional(found.choice->path) : std::nullopt, found.passedOver};
         }},
        {"wine", "/usr/local/bin/wine", "/usr/bin/wine", tools::lookUpWine},
        {"winetricks", "/usr/local/bin/winetricks", "/usr/bin/winetricks", tools::lookUpWinetricks},
    };
    for (const auto &lookup : lookups) {
        test::TestPlatform env;
        const QString theirs = env.hostPath(lookup.theirs);
        makeTool(theirs);
        ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), stranger, stranger), 0);
        const PassedOver passedOver{theirs, QStringLiteral("the file %1 belongs to another user").arg(theirs)};
        EXPECT_EQ(lookup.lookUp().found, std::nullopt) << lookup.name;
        EXPECT_EQ(lookup.lookUp().passedOver, passedOver) << lookup.name;

        const QString next = env.hostPath(lookup.next);
        makeTool(next);
        EXPECT_EQ(lookup.lookUp().found, next) << lookup.name;
    }

    test::TestPlatform env;
    const QString theirs = env.hostPath("/usr/bin/lsof");
    makeTool(theirs);
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), stranger, stranger), 0);
    Command lsof;
    lsof.program = QStringLiteral("/usr/sbin/lsof");
    const CommandResult result = LinuxCommandRunner().runAndWait(lsof);
    EXPECT_FALSE(result.started);
    EXPECT_EQ(result.launchError,
              QStringLiteral("lsof at %1 can be changed by another user (the file %1 belongs to another user)").arg(theirs));
    EXPECT_EQ(HelperError::rigctldNotFound(PassedOver{theirs, "the folder /x is writable by others"}).description(),
              QStringLiteral("rigctld at %1 was passed over: it can be changed by another user (the folder /x is "
                             "writable by others) \u2014 choose a program only you or root can change")
                  .arg(theirs));
}

} // namespace
} // namespace cordavelle
