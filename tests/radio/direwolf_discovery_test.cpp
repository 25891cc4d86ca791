#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "radio/direwolf_discovery.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace cordavelle {
namespace {

const QByteArray kThinX86 = QByteArray::fromHex("cffaedfe07000001030000000000000000000000");
const QByteArray kThinArm = QByteArray::fromHex("cffaedfe0c000001000000000000000000000000");

class DirewolfDiscoveryTest : public ::testing::Test {
protected:
    // Puts an executable at a path the system names (below the test's root).
    QString install(const QString &namedPath, const QByteArray &bytes = "#!/bin/sh\n", bool executable = true)
    {
        const QString path = env.hostPath(namedPath);
        EXPECT_TRUE(test::writeProgram(path, bytes, executable));
        return path;
    }

    test::TestPlatform env;
};

TEST_F(DirewolfDiscoveryTest, FindsTheFirstUsableDirewolfWithSystemFoldersLast)
{
    EXPECT_EQ(tools::findDirewolf(), std::nullopt);
    const QString system = install("/usr/bin/direwolf");
    EXPECT_EQ(tools::findDirewolf(), system);
    install("/opt/local/bin/direwolf", "#!", false);
    EXPECT_EQ(tools::findDirewolf(), system) << "not executable";
    const QString local = install("/usr/local/bin/direwolf");
    const QString homebrew = install("/opt/homebrew/bin/direwolf");
    EXPECT_EQ(tools::findDirewolf(), homebrew);

    // On Apple silicon an Intel-only build is passed over; a short or foreign file is not.
    env.systemInfo().architecture = "arm64";
    install("/opt/homebrew/bin/direwolf", kThinX86);
    install("/opt/local/bin/direwolf", kThinX86);
    install("/usr/local/bin/direwolf", kThinArm);
    EXPECT_EQ(tools::findDirewolf(), local);
    install("/opt/local/bin/direwolf", "abc");
    EXPECT_EQ(tools::findDirewolf(), env.hostPath("/opt/local/bin/direwolf"));
    env.systemInfo().architecture = "x86_64";
    EXPECT_EQ(tools::findDirewolf(), homebrew);
}

TEST_F(DirewolfDiscoveryTest, RefreshAndInstalledFlagsFollowTheLookups)
{
    DirewolfDiscovery discovery{env.terminal()};
    EXPECT_FALSE(discovery.isDirewolfInstalled());
    EXPECT_FALSE(discovery.isHomebrewInstalled());
    int direwolfChanges = 0, brewChanges = 0;
    QObject::connect(&discovery, &DirewolfDiscovery::direwolfPathChanged, [&] { ++direwolfChanges; });
    QObject::connect(&discovery, &DirewolfDiscovery::brewPathChanged, [&] { ++brewChanges; });

    const QString brew = install("/usr/local/bin/brew");
    install("/opt/homebrew/bin/direwolf");
    discovery.refresh();
    discovery.refresh();
    EXPECT_EQ(discovery.brewPath(), brew);
    EXPECT_TRUE(discovery.isDirewolfInstalled());
    EXPECT_TRUE(discovery.isHomebrewInstalled());
    EXPECT_EQ(direwolfChanges, 1);
    EXPECT_EQ(brewChanges, 1);
}

TEST_F(DirewolfDiscoveryTest, HomebrewPrefixNeedsAWholeFolderName)
{
    DirewolfDiscovery discovery{env.terminal()};
    const auto prefixOf = [&](std::optional<QString> path) {
        discovery.setDirewolfPath(std::move(path));
        return discovery.discoveredHomebrewPrefix();
    };
    EXPECT_EQ(prefixOf("/opt/homebrew/bin/direwolf"), QStringLiteral("/opt/homebrew"));
    EXPECT_EQ(prefixOf("/opt/local/bin/direwolf"), QStringLiteral("/opt/local"));
    EXPECT_EQ(prefixOf("/usr/local/bin/direwolf"), QStringLiteral("/usr/local"));
    EXPECT_EQ(prefixOf("/opt/homebrewx/bin/direwolf"), std::nullopt);
    EXPECT_EQ(prefixOf("/usr/bin/direwolf"), std::nullopt);
    EXPECT_EQ(prefixOf(QString()), std::nullopt);
    EXPECT_EQ(prefixOf(std::nullopt), std::nullopt);
}

TEST_F(DirewolfDiscoveryTest, InstallWritesAPrivateSelfDeletingScriptAndOpensIt)
{
    const QString brew = install("/opt/homebrew/bin/brew");
    DirewolfDiscovery discovery{env.terminal()};
    discovery.openTerminalToInstallDirewolf();
    discovery.openTerminalToUpgradeDirewolf();

    auto &terminal = env.terminal();
    ASSERT_EQ(terminal.opened.size(), 2);
    const QString script = terminal.opened[0];
    const QFileInfo info(script);
    EXPECT_TRUE(info.fileName().startsWith("cordavelle-install-"));
    EXPECT_TRUE(info.fileName().endsWith(".command"));
    EXPECT_EQ(info.fileName().size(), QString("cordavelle-install-.command").size() + 36);
    EXPECT_EQ(info.fileName(), info.fileName().toUpper().replace("CORDAVELLE-INSTALL-", "cordavelle-install-").replace(".COMMAND", ".command"));
    EXPECT_NE(terminal.opened[0], terminal.opened[1]);

    // Only the user may enter the folder or touch the script.
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(info.absolutePath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(QFile::encodeName(script).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(info.absolutePath(), env.platform().paths().privateTemporary());

    const QStringList lines = terminal.scripts[0].split('\n');
    ASSERT_EQ(lines.size(), 14) << "13 lines, each ending in LF";
    EXPECT_EQ(lines[0], "#!/bin/bash");
    EXPECT_TRUE(lines[1].startsWith("# Auto-generated by Cordavelle Helper") && lines[1].endsWith("."));
    EXPECT_EQ(lines[3], "rm -f \"$0\"");
    EXPECT_EQ(lines[6], "echo \"" + QString(45, QChar(0x2500)) + "\"");
    EXPECT_EQ(lines[8], brew + " install direwolf");
    EXPECT_EQ(lines[10], lines[6]);
    EXPECT_EQ(lines[11], "echo \"Command finished.  Close this window when done.\"");
    EXPECT_EQ(lines[12], "exec $SHELL -il");
    EXPECT_EQ(terminal.scripts[1].split('\n')[8], brew + " upgrade direwolf");
}

TEST_F(DirewolfDiscoveryTest, WithoutBrewInstallRunsTheHomebrewInstallerAndUpgradeDoesNothing)
{
    DirewolfDiscovery discovery{env.terminal()};
    discovery.openTerminalToUpgradeDirewolf();
    EXPECT_TRUE(env.terminal().opened.isEmpty());
    discovery.openTerminalToInstallDirewolf();
    ASSERT_EQ(env.terminal().opened.size(), 1);
    const QString command = env.terminal().scripts[0].split('\n')[8];
    EXPECT_TRUE(command.startsWith("/bin/bash -c \"$(curl -fsSL https://"));
    EXPECT_TRUE(command.endsWith("/Homebrew/install/HEAD/install.sh)\""));
}

TEST_F(DirewolfDiscoveryTest, FailuresAreLoggedAndLeaveNoScript)
{
    DirewolfDiscovery discovery{env.terminal()};
    QStringList unrun;
    QObject::connect(&discovery, &DirewolfDiscovery::terminalUnavailable, [&](const QString &c) { unrun << c; });
    env.terminal().result = false;
    discovery.runInTerminal("true");
    ASSERT_EQ(env.terminal().opened.size(), 1);
    EXPECT_TRUE(env.log().contains("[DirewolfDiscovery] No terminal emulator could be started for " +
                                   env.terminal().opened[0]));
    EXPECT_FALSE(QFile::exists(env.terminal().opened[0]));
    // The command goes on to the user, who must run it by hand.
    EXPECT_EQ(unrun, QStringList{"true"});

    // Someone else's link in place of the private folder: nothing is written there.
    const QString folder = places::privateTemporaryFolder();
    QDir(folder).removeRecursively();
    QDir().mkpath(env.root() + "/elsewhere");
    QFile::link(env.root() + "/elsewhere", folder);
    discovery.runInTerminal("true");
    EXPECT_EQ(env.terminal().opened.size(), 1);
    EXPECT_TRUE(env.log().contains("[DirewolfDiscovery] Failed to write command script: "));
    EXPECT_TRUE(QDir(env.root() + "/elsewhere").isEmpty());
    EXPECT_EQ(unrun, (QStringList{"true", "true"}));
    EXPECT_EQ(env.log().entries.back().category, "install");
}

} // namespace
} // namespace cordavelle
