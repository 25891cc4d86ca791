#include "radio/radio_power_controller.h"

#include "support/qt_printers.h"
#include "support/test_platform.h"

#include <deque>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

// rigctld as the controller sees it: scripted answers, and a record of what was asked.
struct ScriptedRig {
    std::deque<std::optional<bool>> answers; // to successive queries; none left = no answer
    bool acknowledgeSet = true;
    QStringList calls;
};

QCoro::Task<std::optional<bool>> query(ScriptedRig &rig, int port)
{
    rig.calls << QStringLiteral("get %1").arg(port);
    if (rig.answers.empty()) {
        co_return std::nullopt;
    }
    const auto answer = rig.answers.front();
    rig.answers.pop_front();
    co_return answer;
}

QCoro::Task<bool> set(ScriptedRig &rig, bool on, int port)
{
    rig.calls << QStringLiteral("set %1 %2").arg(on ? 1 : 0).arg(port);
    co_return rig.acknowledgeSet;
}

class RadioPowerControllerTest : public ::testing::Test {
protected:
    RadioPowerControllerTest()
        : controller(env.clock(), RadioPowerController::PowerClient{
                                       [this](int port) { return query(rig, port); },
                                       [this](bool on, int port) { return set(rig, on, port); }})
    {
    }

    test::TestPlatform env;
    ScriptedRig rig;
    RadioPowerController controller;
};

TEST_F(RadioPowerControllerTest, LeavesARadioThatWasAlreadyOnAlone)
{
    int supportedChanges = 0;
    QObject::connect(&controller, &RadioPowerController::radioPowerSupportedChanged, [&] { ++supportedChanges; });
    rig.answers = {true};
    auto start = controller.handlePostStart(4532, true);
    EXPECT_TRUE(start.isReady());
    EXPECT_EQ(rig.calls, QStringList{"get 4532"});
    EXPECT_EQ(controller.radioPowerSupported(), std::optional<bool>(true));
    EXPECT_FALSE(controller.powerWasManagedByHelper());

    // With management off nothing is asked and what is known stays.
    auto unmanaged = controller.handlePostStart(4532, false);
    EXPECT_TRUE(unmanaged.isReady());
    EXPECT_EQ(rig.calls.size(), 1);
    EXPECT_EQ(controller.radioPowerSupported(), std::optional<bool>(true));

    auto stop = controller.handlePreStop(4532);
    EXPECT_TRUE(stop.isReady());
    EXPECT_EQ(rig.calls, QStringList{"get 4532"});
    EXPECT_EQ(controller.radioPowerSupported(), std::nullopt);
    // absent -> true -> absent; setting an equal value tells nobody.
    EXPECT_EQ(supportedChanges, 2);
    EXPECT_TRUE(env.clock().sleepLog().empty());
}

TEST_F(RadioPowerControllerTest, SwitchesAnOffRadioOnAndOffAgain)
{
    rig.answers = {false};
    auto start = controller.handlePostStart(4600, true);
    EXPECT_EQ(rig.calls, (QStringList{"get 4600", "set 1 4600"}));
    EXPECT_TRUE(controller.powerWasManagedByHelper());
    EXPECT_EQ(controller.radioPowerSupported(), std::optional<bool>(true));
    // The radio gets three seconds to come up before the caller goes on.
    env.clock().advance(2999ms);
    EXPECT_FALSE(start.isReady());
    env.clock().advance(1ms);
    EXPECT_TRUE(start.isReady());

    auto stop = controller.handlePreStop(4600);
    EXPECT_EQ(rig.calls.last(), "set 0 4600");
    EXPECT_FALSE(stop.isReady());
    env.clock().advance(500ms);
    EXPECT_TRUE(stop.isReady());
    EXPECT_FALSE(controller.powerWasManagedByHelper());
    EXPECT_EQ(controller.radioPowerSupported(), std::nullopt);

    // A second stop sends nothing.
    auto again = controller.handlePreStop(4600);
    EXPECT_TRUE(again.isReady());
    EXPECT_EQ(rig.calls.size(), 3);
    EXPECT_EQ(env.clock().sleepLog(), (std::vector<std::chrono::milliseconds>{3000ms, 500ms}));
}

TEST_F(RadioPowerControllerTest, GivesUpAfterThreeUnansweredQueries)
{
    auto start = controller.handlePostStart(4532, true);
    EXPECT_EQ(rig.calls.size(), 1);
    EXPECT_EQ(controller.radioPowerSupported(), std::nullopt);
    env.clock().advance(500ms);
    EXPECT_EQ(rig.calls.size(), 2);
    env.clock().advance(500ms);
    EXPECT_TRUE(start.isReady());
    EXPECT_EQ(rig.calls, (QStringList{"get 4532", "get 4532", "get 4532"}));
    EXPECT_EQ(env.clock().sleepLog(), (std::vector<std::chrono::milliseconds>{500ms, 500ms}));
    EXPECT_EQ(controller.radioPowerSupported(), std::optional<bool>(false));
    EXPECT_FALSE(controller.powerWasManagedByHelper());

    ASSERT_EQ(env.log().entries.size(), 1u);
    const auto &entry = env.log().entries.front();
    EXPECT_EQ(entry.message, "Radio does not support power state commands");
    EXPECT_EQ(entry.category, "RadioPower");
    EXPECT_EQ(entry.subsystem, "com.cordavelle.helper");
    EXPECT_EQ(entry.level, LogLevel::Info);
}

TEST_F(RadioPowerControllerTest, PausesOnceWhenTheSecondQueryIsAnswered)
{
    rig.answers = {std::nullopt, true};
    auto start = controller.handlePostStart(4532, true);
    env.clock().advance(500ms);
    EXPECT_TRUE(start.isReady());
    EXPECT_EQ(env.clock().sleepLog(), (std::vector<std::chrono::milliseconds>{500ms}));
    EXPECT_EQ(controller.radioPowerSupported(), std::optional<bool>(true));
    EXPECT_TRUE(env.log().entries.empty());
}

TEST_F(RadioPowerControllerTest, ARefusedPowerOnIsNeverUndone)
{
    rig.answers = {false};
    rig.acknowledgeSet = false;
    auto start = controller.handlePostStart(4532, true);
    EXPECT_TRUE(start.isReady());
    EXPECT_EQ(controller.radioPowerSupported(), std::optional<bool>(true));
    EXPECT_FALSE(controller.powerWasManagedByHelper());
    auto stop = controller.handlePreStop(4532);
    EXPECT_TRUE(stop.isReady());
    EXPECT_EQ(rig.calls, (QStringList{"get 4532", "set 1 4532"}));
}

TEST_F(RadioPowerControllerTest, AStopRequestShortensThePausesButNotTheQueries)
{
    std::stop_source source;
    source.request_stop();
    rig.answers = {std::nullopt, std::nullopt, false};
    auto start = controller.handlePostStart(4532, true, source.get_token());
    test::ManualClock::processEvents();
    EXPECT_TRUE(start.isReady());
    EXPECT_EQ(rig.calls, (QStringList{"get 4532", "get 4532", "get 4532", "set 1 4532"}));
    EXPECT_TRUE(controller.powerWasManagedByHelper());
}

} // namespace
} // namespace cordavelle
