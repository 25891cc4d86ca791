#include "radio/radio_power_controller.h"

#include "support/local_ports.h"
#include "support/qt_printers.h"
#include "support/scripted_rigctld.h"
#include "support/test_platform.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

// Hamlib's dummy rig answers nothing once it is off, so the switch-on and switch-off round runs
// against a stand-in that speaks the same commands, in real time.
TEST(RadioPowerWithAStandIn, SwitchesAnOffRadioOnAndOffAgain)
{
    test::TestPlatform env;
    env.useSystemClock();
    test::ScriptedRigctld rigctld;
    rigctld.powerOn = false;
    RadioPowerController controller(env.platform().clock());

    QElapsedTimer timer;
    timer.start();
    QCoro::waitFor(controller.handlePostStart(rigctld.port(), true));
    EXPECT_GE(timer.elapsed(), 2900);
    EXPECT_TRUE(rigctld.powerOn);
    EXPECT_TRUE(controller.powerWasManagedByHelper());
    EXPECT_EQ(controller.radioPowerSupported(), std::optional<bool>(true));

    QCoro::waitFor(controller.handlePreStop(rigctld.port()));
    EXPECT_FALSE(rigctld.powerOn);
    EXPECT_EQ(rigctld.commands(), (QList<QByteArray>{"\\get_powerstat", "\\set_powerstat 1", "\\set_powerstat 0"}));
    EXPECT_FALSE(controller.powerWasManagedByHelper());
    EXPECT_EQ(controller.radioPowerSupported(), std::nullopt);
}

TEST(RadioPowerWithAStandIn, NothingListeningMeansNoPowerControlWithoutHanging)
{
    test::TestPlatform env;
    env.useSystemClock();
    const quint16 port = test::freeTcpPort();
    RadioPowerController controller(env.platform().clock());
    QElapsedTimer timer;
    timer.start();
    QCoro::waitFor(controller.handlePostStart(port, true));
    // Three refused connections and two pauses of half a second.
    EXPECT_GE(timer.elapsed(), 950);
    EXPECT_LT(timer.elapsed(), 3000);
    EXPECT_EQ(controller.radioPowerSupported(), std::optional<bool>(false));
    EXPECT_TRUE(env.log().contains(QStringLiteral("Radio does not support power state commands")));
}

} // namespace
} // namespace cordavelle
