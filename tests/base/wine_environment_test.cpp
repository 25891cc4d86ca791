#include "base/wine_environment.h"

#include "support/scoped_environment.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(WineEnvironment, EveryRunWorksInTheHelpersPrefixOverTheInheritedEnvironment)
{
    test::TestPlatform env;
    test::ScopedEnvironment variables;
    variables.set("WINEPREFIX", "/somewhere/else");
    variables.set("WINEDEBUG", "+all");
    variables.set("CORDAVELLE_TEST_INHERITED", "kept");
    const QString prefix = WineEnvironment::prefixPath();
    EXPECT_TRUE(prefix.startsWith(env.root()));
    EXPECT_TRUE(prefix.endsWith("/wine-prefix"));
    EXPECT_EQ(WineEnvironment::userRegistryFile(), prefix + "/user.reg");

    const QProcessEnvironment server = WineEnvironment::base();
    EXPECT_EQ(server.value("WINEPREFIX"), prefix);
    EXPECT_EQ(server.value("WINEDEBUG"), "+all");
    EXPECT_EQ(server.value("CORDAVELLE_TEST_INHERITED"), "kept");
    EXPECT_FALSE(server.contains("WINEARCH"));

    const QProcessEnvironment setup = WineEnvironment::prefixSetup();
    EXPECT_EQ(setup.value("WINEPREFIX"), prefix);
    EXPECT_EQ(setup.value("WINEARCH"), "win64");
    EXPECT_EQ(setup.value("WINEDEBUG"), "fixme-all");

    const QProcessEnvironment program = WineEnvironment::program();
    EXPECT_EQ(program.value("WINEDEBUG"), "fixme-all");
    EXPECT_FALSE(program.contains("WINEARCH"));

    const QString staged = env.platform().paths().privateTemporary() + "/winetricks-tools";
    const QProcessEnvironment tricks = WineEnvironment::winetricks("/opt/wine/bin/wine", staged, "/home/op", "op");
    EXPECT_EQ(tricks.value("WINEPREFIX"), prefix);
    EXPECT_EQ(tricks.value("WINEARCH"), "win64");
    EXPECT_EQ(tricks.value("WINE"), "/opt/wine/bin/wine");
    EXPECT_EQ(tricks.value("WINESERVER"), "/opt/wine/bin/wineserver");
    EXPECT_TRUE(tricks.value("PATH").startsWith("/opt/wine/bin:" + staged + ":"));
    EXPECT_TRUE(tricks.value("PATH").endsWith(":/usr/bin:/bin"));
    EXPECT_EQ(tricks.value("HOME"), "/home/op");
    EXPECT_EQ(tricks.value("USER"), "op");
}

} // namespace
} // namespace cordavelle
