#include "install/direwolf_installer.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(DirewolfInstaller, InstalledVersionIsTheStoredStringOrEmpty)
{
    test::TestPlatform env;
    DirewolfInstaller installer(env.defaults());
    EXPECT_EQ(installer.installedVersion(), QString());
    env.defaults().setObject("direwolfInstalledVersion", QStringLiteral("1.7"));
    EXPECT_EQ(installer.installedVersion(), "1.7");
}

} // namespace
} // namespace cordavelle
