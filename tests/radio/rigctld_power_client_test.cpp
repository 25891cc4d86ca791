#include "radio/rigctld_power_client.h"

#include "support/event_wait.h"
#include "support/local_ports.h"
#include "support/scripted_rigctld.h"
#include "support/qt_printers.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

TEST(RigctldPowerClient, ParsesPowerStateReplies)
{
    struct Case {
        const char *reply;
        std::optional<bool> expected;
    };
    const Case cases[] = {
        {"1\n", true},
        {"0\n", false},
        {"2\n", false}, // standby counts as off
        {"  1  \n", true},
        {"\t+1\n", true},
        {"\u00a01\u2003\n", true}, // Unicode spaces are trimmed like blanks
        {"1", true},
        {"RPRT 0\n1\n", true},
        {"RPRT x\n0\n", false},
        {"Power Status: \n1\n", true},
        {"RPRT -11\n", std::nullopt},
        {"1\nRPRT -1\n", std::nullopt},
        {"RPRT -1\n1\n", std::nullopt},
        {"RPRT 0\n", std::nullopt},
        {"4\n-1\n", std::nullopt},
        {"1\r\n", std::nullopt}, // carriage returns are not trimmed
        {"", std::nullopt},
        {"99999999999999999999\n", std::nullopt},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(RigctldPowerClient::parsePowerState(QString::fromUtf8(c.reply)), c.expected) << c.reply;
    }
}

template <typename T>
QCoro::Task<void> store(QCoro::Task<T> task, std::optional<T> &out)
{
    out = co_await std::move(task);
}

class RigctldPowerClientTest : public ::testing::Test {
protected:
    template <typename T>
    std::optional<T> run(QCoro::Task<T> task)
    {
        std::optional<T> result;
        auto runner = store(std::move(task), result);
        EXPECT_TRUE(test::processEventsUntil([&] { return result.has_value(); }, std::chrono::seconds(30)))
            << "the call to rigctld did not end within 30 s";
        return result;
    }

    test::TestPlatform env;
    RigctldPowerClient rigctldClient{env.clock()};
    test::ScriptedRigctld rigctld;
};

TEST_F(RigctldPowerClientTest, ReadsAndSwitchesPowerWithOneConnectionPerCommand)
{
    rigctld.powerOn = false;
    EXPECT_EQ(run(rigctldClient.getPowerState(rigctld.port())), std::optional<bool>(false));
    EXPECT_EQ(run(rigctldClient.setPowerState(true, rigctld.port())), true);
    EXPECT_EQ(run(rigctldClient.getPowerState(rigctld.port())), std::optional<bool>(true));
    EXPECT_EQ(run(rigctldClient.setPowerState(false, rigctld.port())), true);

    EXPECT_EQ(rigctld.commands(), (QList<QByteArray>{"\\get_powerstat", "\\set_powerstat 1", "\\get_powerstat",
                                                     "\\set_powerstat 0"}));
    EXPECT_EQ(rigctld.connections(), 4);
    EXPECT_FALSE(rigctld.powerOn);
    // Every answer came at once: nothing waited on the clock.
    EXPECT_EQ(env.clock().sleeperCount(), 0u);
}

TEST_F(RigctldPowerClientTest, SetReportsSuccessOnlyForAnAcknowledgement)
{
    rigctld.scriptedReplies = {QByteArray("RPRT -1\n"), QByteArray("Set failed\n"), QByteArray("\xff\xfe RPRT 0\n")};
    EXPECT_EQ(run(rigctldClient.setPowerState(true, rigctld.port())), false);
    EXPECT_EQ(run(rigctldClient.setPowerState(true, rigctld.port())), false);
    // A reply that is not UTF-8 is no reply.
    EXPECT_EQ(run(rigctldClient.setPowerState(true, rigctld.port())), false);
}

TEST_F(RigctldPowerClientTest, NothingListeningFailsAtOnce)
{
    const quint16 closedPort = test::freeTcpPort();
    EXPECT_EQ(run(rigctldClient.getPowerState(closedPort)), std::make_optional(std::optional<bool>()));
    EXPECT_EQ(run(rigctldClient.setPowerState(true, closedPort)), false);
    EXPECT_EQ(run(rigctldClient.getPowerState(70000)), std::make_optional(std::optional<bool>()));
    EXPECT_EQ(env.clock().sleeperCount(), 0u);
}

TEST_F(RigctldPowerClientTest, ASilentDaemonIsGivenOneSecond)
{
    rigctld.scriptedReplies = {std::nullopt, std::nullopt};
    std::optional<bool> set;
    auto task = store(rigctldClient.setPowerState(true, rigctld.port()), set);
    ASSERT_TRUE(test::processEventsUntil([&] { return rigctld.commands().size() == 1; }));
    // The wait for the reply begins in a turn of the event loop queued once the command went out.
    test::ManualClock::processEvents();
    env.clock().advance(999ms);
    EXPECT_FALSE(set.has_value());
    env.clock().advance(1ms);
    EXPECT_EQ(set, false);

    std::optional<std::optional<bool>> state;
    auto query = store(rigctldClient.getPowerState(rigctld.port()), state);
    ASSERT_TRUE(test::processEventsUntil([&] { return rigctld.commands().size() == 2; }));
    env.clock().advance(1s);
    EXPECT_EQ(state, std::make_optional(std::optional<bool>()));
}

} // namespace
} // namespace cordavelle
