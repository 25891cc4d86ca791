// A helper that runs for weeks starts programs thousands of times: none of those starts may
// keep a descriptor, whether the program ran or could not be run.

#include "core/config_store.h"
#include "core/service_orchestrator.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/listening_stand_in.h"
#include "support/local_ports.h"
#include "support/manual_clock.h"
#include "support/orchestrator_fixture.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using DescriptorReleaseTest = test::OrchestratorTest;

TEST_F(DescriptorReleaseTest, FailedStartsAndStartStopCyclesKeepNoDescriptor)
{
    // The real runner, but lsof, pkill and the rest are missing below the test's root, as on a
    // machine without them: every clean-up command fails to start.
    env.platform().setCommandRunner(std::make_shared<LinuxCommandRunner>());
    children.watch(orchestrator->rigctldProcess());
    // Listens on rigctld's port, so that the launch counts as ready.
    const QString ready = env.root() + QStringLiteral("/listening");
    const QString daemon = env.root() + QStringLiteral("/rigctld");
    ASSERT_TRUE(test::writeProgram(daemon, test::listeningStandIn(ready)));
    const quint16 port = test::freeTcpPort();

    const auto useProgram = [&](const QString &path) {
        RigctldConfig rig = config.rigctldConfig();
        rig.rigctldPath = path;
        rig.tcpPort = port;
        config.setRigctldConfig(rig);
    };
    const auto start = [&] {
        QFile::remove(ready);
        auto outcome = test::track(orchestrator->startService(ServiceID::rigctld));
        EXPECT_TRUE(runUntilSettled(ServiceID::rigctld, [&] { return outcome->done; }, test::standInReady(ready), 10s));
        return outcome->error;
    };
    // What has ended is let go first: the children have ended and so have the threads that read
    // their output, and what those left to the event loop (their objects' deletion) has run.
    const int threadsBefore = test::threadCount();
    const auto settledCount = [&] {
        EXPECT_TRUE(test::processEventsUntil([&] { return children.allEnded() && test::threadCount() <= threadsBefore; }));
        test::ManualClock::processEvents();
        return test::openDescriptorCount();
    };
    const auto cycle = [&] {
        EXPECT_FALSE(start());
        EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running)
            << orchestrator->rigctldProcess().lastError().value_or(QString()).toStdString();
        orchestrator->stopService(ServiceID::rigctld);
        {
            // The child's end on SIGTERM takes real time, which the stop's grace period in virtual
            // time would outrun: the service would read stopped at the SIGKILL while the dying
            // child still held the port, and the next start would find it there as another
            // program's listener.
            const auto hold = env.clock().hold();
            EXPECT_TRUE(env.clock().runUntil([&] { return children.allEnded(); }, 0ms, 20s));
        }
        EXPECT_TRUE(env.clock().runUntil(
            [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::stopped; }, 5s));
    };

    useProgram(env.root() + QStringLiteral("/missing/rigctld"));
    EXPECT_TRUE(start());
    useProgram(daemon);
    cycle();

    const int before = settledCount();
    useProgram(env.root() + QStringLiteral("/missing/rigctld"));
    for (int i = 0; i < 50; ++i) {
        EXPECT_TRUE(start());
        EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::error);
    }
    const int afterFailedStarts = settledCount();
    useProgram(daemon);
    for (int i = 0; i < 50 && !::testing::Test::HasFailure(); ++i) {
        cycle();
    }
    const int afterCycles = settledCount();
    EXPECT_EQ(afterFailedStarts, before) << "after 50 starts of a missing program";
    EXPECT_EQ(afterCycles, before) << "after 50 start/stop cycles";
    children.killAll();
}

} // namespace
} // namespace cordavelle
