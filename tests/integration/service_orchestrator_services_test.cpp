#include "base/helper_places.h"
#include "base/tool_lookup.h"

#include "service_orchestrator_fixture.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using test::ServiceOrchestratorTest;

TEST_F(ServiceOrchestratorTest, TheTwoVARAVariantsShareTheirWineServerAndNeverRunTogether)
{
    installWineserver();
    setMode(ServiceID::varaHF, ServiceLifecycleMode::alwaysOn);
    startAndWait(ServiceID::varaHF);

    // Starting FM stops HF first: no crash notice, no restart.
    startAndWait(ServiceID::varaFM, 3s);
    EXPECT_EQ(orchestrator->varaProcess().state(), ServiceRunState::stopped);
    EXPECT_TRUE(env.notifications().requests.empty());
    EXPECT_FALSE(orchestrator->isRestartPending(ServiceID::varaHF));
    EXPECT_EQ(wineserverRuns(), 1);
    EXPECT_TRUE(env.log().contains("Stopping vara-hf before starting vara-fm"));

    // A stop of HF while FM runs leaves the shared wine server alone.
    orchestrator->stopService(ServiceID::varaHF);
    EXPECT_EQ(wineserverRuns(), 1);
    orchestrator->stopService(ServiceID::varaFM);
    EXPECT_EQ(wineserverRuns(), 2);
    const Command wineserver = env.commands().callsOf(QStringLiteral("wineserver")).back();
    EXPECT_EQ(wineserver.arguments, QStringList{"-k"});
    EXPECT_EQ(wineserver.environment.value("WINEPREFIX"), places::winePrefix());
}

// An installer running Wine in the prefix needs the shared Wine server until it is done.
TEST_F(ServiceOrchestratorTest, StopOfAModemWhileAnInstallerHoldsThePrefixSparesTheWineServer)
{
    installWineserver();
    const int installer = 0;
    ASSERT_TRUE(test::runToEnd(prefixHold.acquire(&installer, QStringLiteral("the VARA FM install"), {})));
    startAndWait(ServiceID::varaHF);
    ASSERT_EQ(orchestrator->process(ServiceID::varaFM).state(), ServiceRunState::stopped);
    orchestrator->stopService(ServiceID::varaHF);
    EXPECT_EQ(wineserverRuns(), 0);

    prefixHold.release(&installer);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->process(ServiceID::varaHF).state() == ServiceRunState::stopped; }, 3s));
    startAndWait(ServiceID::varaHF);
    orchestrator->stopService(ServiceID::varaHF);
    EXPECT_EQ(wineserverRuns(), 1) << "without the hold the stop ends the Wine server";
}

TEST_F(ServiceOrchestratorTest, StopOfDirewolfWithdrawsTheKeepaliveRequestEvenWhenNotRunning)
{
    keepalive.startAdvertising(QStringLiteral("IC-7300"));
    ASSERT_TRUE(keepalive.advertisedRadioName());
    orchestrator->stopService(ServiceID::direwolf);
    EXPECT_FALSE(keepalive.advertisedRadioName());
}

TEST_F(ServiceOrchestratorTest, RigctldLookUpPrefersTheHelpersOwnHamlib)
{
    EXPECT_FALSE(orchestrator->isRigctldInstalled());
    const QString homebrew = env.hostPath(QStringLiteral("/opt/homebrew/bin/rigctld"));
    installScript(env.hostPath(QStringLiteral("/usr/bin/rigctld")));
    installScript(homebrew);
    EXPECT_EQ(tools::findRigctld(), homebrew);
    installScript(places::supportFolder() + QStringLiteral("/hamlib/bin/rigctld"));
    EXPECT_EQ(tools::findRigctld(), places::supportFolder() + QStringLiteral("/hamlib/bin/rigctld"));
    EXPECT_TRUE(orchestrator->isRigctldInstalled());
}

} // namespace
} // namespace cordavelle
