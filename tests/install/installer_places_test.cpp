#include "core/service_orchestrator.h"
#include "install/hamlib_installer.h"
#include "install/wine_installer.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

void makeTool(const QString &path, bool executable = true)
{
    ASSERT_TRUE(test::writeProgram(path, "#!/bin/sh\n", executable));
}

TEST(InstallerPlaces, OwnInstallsLieInTheSupportFolder)
{
    test::TestPlatform env;
    const QString support = env.platform().paths().applicationSupport() + "/Cordavelle Helper";
    EXPECT_EQ(WineInstaller::wineDir(), support + "/wine");
    EXPECT_EQ(WineInstaller::wineBinaryPath(), support + "/wine/Wine Stable.app/Contents/Resources/wine/bin/wine");
    EXPECT_EQ(WineInstaller::wineserverPath(),
              support + "/wine/Wine Stable.app/Contents/Resources/wine/bin/wineserver");
    EXPECT_EQ(HamlibInstaller::hamlibDir(), support + "/hamlib");
    EXPECT_EQ(HamlibInstaller::rigctldPath(), support + "/hamlib/bin/rigctld");
}

TEST(InstallerPlaces, FindWineTakesTheFirstExecutableInOrderWithTheSystemFoldersLast)
{
    test::TestPlatform env;
    EXPECT_EQ(WineInstaller::findWine(), std::nullopt);

    makeTool(env.hostPath("/bin/wine"));
    EXPECT_EQ(WineInstaller::findWine(), env.hostPath("/bin/wine"));
    makeTool(env.hostPath("/usr/bin/wine"));
    EXPECT_EQ(WineInstaller::findWine(), env.hostPath("/usr/bin/wine"));
    makeTool(env.hostPath("/usr/local/bin/wine"));
    EXPECT_EQ(WineInstaller::findWine(), env.hostPath("/usr/local/bin/wine"));
    makeTool(env.hostPath("/usr/local/bin/wine64"));
    EXPECT_EQ(WineInstaller::findWine(), env.hostPath("/usr/local/bin/wine64"));
    makeTool(env.hostPath("/opt/homebrew/bin/wine"));
    EXPECT_EQ(WineInstaller::findWine(), env.hostPath("/opt/homebrew/bin/wine"));
    makeTool(env.hostPath("/opt/homebrew/bin/wine64"));
    EXPECT_EQ(WineInstaller::findWine(), env.hostPath("/opt/homebrew/bin/wine64"));

    // The helper's own Wine counts only when it can be run.
    makeTool(WineInstaller::wineBinaryPath(), false);
    EXPECT_EQ(WineInstaller::findWine(), env.hostPath("/opt/homebrew/bin/wine64"));
    QFile::remove(WineInstaller::wineBinaryPath());
    QDir().mkpath(WineInstaller::wineBinaryPath());
    EXPECT_EQ(WineInstaller::findWine(), env.hostPath("/opt/homebrew/bin/wine64")) << "a folder is no Wine";
    QDir().rmdir(WineInstaller::wineBinaryPath());
    makeTool(WineInstaller::wineBinaryPath());
    EXPECT_EQ(WineInstaller::findWine(), WineInstaller::wineBinaryPath());
    // The service core asks the same question through the orchestrator.
    EXPECT_EQ(ServiceOrchestrator::findWine(), WineInstaller::wineBinaryPath());
}

} // namespace
} // namespace cordavelle
