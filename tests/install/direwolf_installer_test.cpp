#include "install/direwolf_installer.h"
#include "core/config_store.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

const QByteArray kThinX86 = QByteArray::fromHex("cffaedfe07000001030000000000000000000000");
const QByteArray kThinArm = QByteArray::fromHex("cffaedfe0c000001000000000000000000000000");

void putExecutable(const QString &path, const QByteArray &bytes) { ASSERT_TRUE(test::writeProgram(path, bytes)); }

TEST(DirewolfInstaller, LegacyBuildComesFirstUnlessItIsIntelOnlyOnAppleSilicon)
{
    test::TestPlatform env;
    EXPECT_EQ(DirewolfInstaller::direwolfDir(), ConfigStore::appSupportDir() + "/direwolf");
    EXPECT_EQ(DirewolfInstaller::findDirewolf(), std::nullopt);

    const QString homebrew = env.hostPath("/opt/homebrew/bin/direwolf");
    putExecutable(homebrew, kThinArm);
    EXPECT_EQ(DirewolfInstaller::findDirewolf(), homebrew);

    const QString legacy = DirewolfInstaller::legacyBinaryPath();
    putExecutable(legacy, kThinX86);
    EXPECT_EQ(DirewolfInstaller::findDirewolf(), legacy);

    env.systemInfo().architecture = "arm64";
    EXPECT_EQ(DirewolfInstaller::findDirewolf(), homebrew);
    QFile::remove(homebrew);
    EXPECT_EQ(DirewolfInstaller::findDirewolf(), std::nullopt);
    putExecutable(env.hostPath("/usr/bin/direwolf"), "\x7f" "ELF\x02\x01\x01\x00");
    EXPECT_EQ(DirewolfInstaller::findDirewolf(), env.hostPath("/usr/bin/direwolf"));
}

TEST(DirewolfInstaller, InstalledVersionIsTheStoredStringOrEmpty)
{
    test::TestPlatform env;
    DirewolfInstaller installer;
    EXPECT_EQ(installer.installedVersion(), QString());
    env.defaults().setObject("direwolfInstalledVersion", QStringLiteral("1.7"));
    EXPECT_EQ(installer.installedVersion(), "1.7");
}

} // namespace
} // namespace cordavelle
