#include "service_orchestrator_fixture.h"
#include "support/child_processes.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using test::ServiceOrchestratorTest;

TEST_F(ServiceOrchestratorTest, StopAllServicesIsBoundedEvenWhenAChildIgnoresSigterm)
{
    startPaths[ServiceID::rigctld] = launchingStubborn();
    for (ServiceID id : {ServiceID::varaFM, ServiceID::rigctld, ServiceID::direwolf}) {
        startAndWait(id);
    }
    setMode(ServiceID::direwolf, ServiceLifecycleMode::alwaysOn);
    orchestrator->startIdleMonitor();
    const auto stubborn = *orchestrator->rigctldProcess().pid();

    const auto began = env.clock().now();
    auto outcome = test::track(orchestrator->stopAllServices());
    ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 10s));
    EXPECT_LE(env.clock().now() - began, ServiceOrchestrator::kStopAllTimeLimit);
    EXPECT_GE(env.clock().now() - began, 2s); // the SIGKILL comes 2 s after SIGTERM
    for (ServiceID id : allCases<ServiceID>()) {
        EXPECT_EQ(orchestrator->process(id).state(), ServiceRunState::stopped) << toRaw(id).toStdString();
    }
    // Signalled children may take a moment of real time to be gone.
    EXPECT_TRUE(env.clock().runUntil([&] { return children.allEnded(); }, 0ms));
    EXPECT_FALSE(test::isAlive(stubborn));
    EXPECT_FALSE(orchestrator->idleShutdown().isIdleMonitorRunning());
    EXPECT_TRUE(env.notifications().requests.empty());
}

TEST_F(ServiceOrchestratorTest, QuitWithNothingRunningIsImmediateAndAStoppedModemsWineServerIsSpared)
{
    // A wine server that takes its time over "-k", as a real one does, and leaves a mark.
    env.platform().setCommandRunner(std::make_shared<LinuxCommandRunner>());
    const QString mark = env.root() + QStringLiteral("/wineserver-ran");
    ASSERT_TRUE(test::writeProgram(env.hostPath(QStringLiteral("/usr/local/bin/wineserver")),
                                   QStringLiteral("#!/bin/sh\nsleep 0.7\ntouch '%1'\n").arg(mark).toUtf8()));
    const auto quit = [&] {
        QElapsedTimer timer;
        timer.start();
        auto outcome = test::track(orchestrator->stopAllServices());
        EXPECT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 10s));
        return std::chrono::milliseconds(timer.elapsed());
    };

    EXPECT_LT(quit(), 200ms);
    EXPECT_FALSE(QFile::exists(mark));

    // A modem that ran still has its wine server stopped.
    startAndWait(ServiceID::varaHF);
    quit();
    EXPECT_TRUE(QFile::exists(mark));
}

TEST_F(ServiceOrchestratorTest, CleanupOfOrphansRunsPkillForRigctldThenTheWineServer)
{
    installWineserver();
    auto outcome = test::track(orchestrator->cleanupOrphanedProcesses());
    ASSERT_TRUE(env.clock().advanceUntil([&] { return outcome->done; }, 1s));
    const QString pid = QString::number(QCoreApplication::applicationPid());
    ASSERT_EQ(env.commands().journal.size(), 3);
    EXPECT_EQ(env.commands().journal[0], "/usr/bin/pkill -9 -e -P " + pid + " rigctld");
    EXPECT_EQ(env.commands().journal[1], "/usr/bin/pkill -9 -e -x -U " + QString::number(::getuid()) + " rigctld");
    EXPECT_TRUE(env.commands().journal[2].endsWith("/usr/local/bin/wineserver -k"));
}

} // namespace
} // namespace cordavelle
