#include "radio/radio_power_controller.h"
#include "radio/rigctld_power_client.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/local_ports.h"
#include "support/qt_printers.h"
#include "support/test_platform.h"

#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <cstdio>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

// Hamlib's rigctld with its dummy rig (model 1), which starts powered on.
class RealRigctldTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("rigctld"));
        if (program.isEmpty()) {
            GTEST_SKIP() << "rigctld is not installed";
        }
        env.useSystemClock();
        port = test::freeTcpPort();
        rigctld.setProcessChannelMode(QProcess::MergedChannels);
        rigctld.start(program, {"-m", "1", "-T", "127.0.0.1", "-t", QString::number(port)});
        ASSERT_TRUE(rigctld.waitForStarted(5000));
        const bool listening = test::processEventsUntil([&] { return test::accepts(port, 100ms); }, 10s);
        ASSERT_TRUE(listening) << "rigctld did not open port " << port;
    }

    void TearDown() override
    {
        // A port handed out free may be taken by another program before rigctld binds it; rigctld
        // then ends at once, and what answered was not rigctld.
        if (HasFailure()) {
            std::fprintf(stderr, "rigctld on port %d: %s, exit code %d\n%s\n", int(port),
                         rigctld.state() == QProcess::Running ? "running" : "ended", rigctld.exitCode(),
                         rigctld.readAll().constData());
        }
        test::stopProcess(rigctld);
    }

    // rigctld 4.5 closes each finished connection's socket twice, so a connection it accepts
    // while still closing the one before may lose its socket and end unanswered. A query is
    // therefore asked up to three times, as the power controller itself does; a rig that does
    // not answer at all still reads as unknown.
    std::optional<bool> powerState()
    {
        std::optional<bool> state;
        for (int attempt = 0; attempt < 3 && !state; ++attempt) {
            state = QCoro::waitFor(RigctldPowerClient(env.platform().clock()).getPowerState(port));
        }
        return state;
    }

    test::TestPlatform env;
    QProcess rigctld;
    quint16 port = 0;
};

TEST_F(RealRigctldTest, ReadsThePowerStateAndLeavesARadioThatWasOnSwitchedOn)
{
    EXPECT_EQ(powerState(), std::optional<bool>(true));

    RadioPowerController controller(env.platform().clock());
    QCoro::waitFor(controller.handlePostStart(port, true));
    EXPECT_EQ(controller.radioPowerSupported(), std::optional<bool>(true));
    EXPECT_FALSE(controller.powerWasManagedByHelper());

    QCoro::waitFor(controller.handlePreStop(port));
    EXPECT_EQ(controller.radioPowerSupported(), std::nullopt);
    // Still on: the dummy rig would not answer at all had it been switched off.
    EXPECT_EQ(powerState(), std::optional<bool>(true));
}

} // namespace
} // namespace cordavelle
