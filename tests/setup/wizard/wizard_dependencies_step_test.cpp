#include "setup/wizard/wizard_dependencies_step.h"

#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"
#include "platform/remote_services.h"
#include "setup/wizard/wizard_components.h"
#include "setup/wizard/wizard_install_row.h"
#include "support/event_wait.h"
#include "support/fixture_http_server.h"
#include "support/manual_clock.h"
#include "support/setup_objects.h"

#include <QDir>
#include <QFile>
#include <QPushButton>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

const QString kReleaseList = QStringLiteral("/repos/Kron4ek/Wine-Builds/releases");

class WizardDependenciesStepTest : public ::testing::Test {
protected:
    WizardDependenciesStepTest()
    {
        env.platform().setRemoteServices(RemoteServices::allAt(server.base()));
        // The release list never finishes, so a started install stays at its first step.
        test::FixtureHttpServer::Route stalled;
        stalled.body = "[]";
        stalled.stallAfter = 0;
        server.serve(kReleaseList, stalled);
        QObject::connect(&wine, &WineInstaller::busyChanged, [this] { starts += wine.isBusy() ? 1 : 0; });
    }

    ~WizardDependenciesStepTest() override
    {
        wine.cancel();
        EXPECT_TRUE(test::processEventsUntil([this] { return !wine.isBusy(); }, std::chrono::seconds(30)))
            << "the cancelled Wine installer did not end within 30 s";
        server.release();
    }

    std::size_t releaseRequests() const { return server.requestsFor(kReleaseList).size(); }

    test::HelperObjects helper;
    test::SetupObjects setup{helper};
    test::TestPlatform &env = helper.env;
    WineInstaller &wine = setup.wine;
    WinePrefixManager &prefix = setup.prefix;
    test::FixtureHttpServer server;
    int starts = 0;
};

TEST_F(WizardDependenciesStepTest, EachShowingStartsTheWineDownloadButNeverASecondOneAtOnce)
{
    WizardDependenciesStep step(wine, prefix);
    step.shown();
    ASSERT_TRUE(test::processEventsUntil([this] { return releaseRequests() == 1; }));
    // The release list stalls: all that is left for now is what is queued, the rows' redraw included.
    test::ManualClock::processEvents();
    EXPECT_EQ(step.wineRow()->row()->look().status, "0%");
    EXPECT_EQ(step.prefixRow()->row()->look().status, "Waiting…");

    step.shown();
    wine.cancel();
    // Shown again while the cancelled download still winds down.
    step.shown();
    ASSERT_TRUE(test::processEventsUntil([this] { return !wine.isBusy(); }));
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(releaseRequests(), 1u);

    step.shown();
    ASSERT_TRUE(test::processEventsUntil([this] { return releaseRequests() == 2; }));
    EXPECT_EQ(starts, 2);
}

TEST_F(WizardDependenciesStepTest, AFailedInstallOrAWineOnTheMachineStartsNothing)
{
    // The standalone builds exist for x86-64 only, so this install fails at once.
    env.systemInfo().architecture = "aarch64";
    WizardDependenciesStep step(wine, prefix);
    step.shown();
    ASSERT_TRUE(test::processEventsUntil([this] { return !wine.isBusy(); }));
    // Showing decides at once whether to start: an install it started would be busy already.
    step.shown();
    EXPECT_EQ(starts, 1);
    EXPECT_EQ(step.wineRow()->row()->button()->text(), "Retry");
    EXPECT_TRUE(step.wineRow()->errorLabel()->isVisibleTo(&step));
    EXPECT_EQ(step.wineRow()->errorLabel()->message(), wine.state().message());

    // A package manager's Wine counts: the row is done, and the prefix may be set up.
    wine.cancel();
    QDir().mkpath(env.hostPath("/usr/bin"));
    QFile program(env.hostPath("/usr/bin/wine"));
    ASSERT_TRUE(program.open(QIODevice::WriteOnly));
    program.write("#!/bin/sh\n");
    program.close();
    program.setPermissions(program.permissions() | QFile::ExeOwner);
    step.shown();
    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(step.wineRow()->row()->look().trailingCheck);
    EXPECT_EQ(step.prefixRow()->row()->button()->text(), "Install");
}

} // namespace
} // namespace cordavelle
