#include "radio/rig_control_server_discovery.h"

#include "support/qt_printers.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

const QString kType = QStringLiteral("_cordavelle-rigcontrol._tcp");

BonjourBrowseResult server(const QString &instance, std::initializer_list<std::pair<QString, QString>> txt)
{
    return test::FakeBonjour::result(instance, kType, BonjourTxtRecord(txt));
}

BonjourBrowseResult rig(const QString &radio, const QString &port)
{
    return server(radio + QStringLiteral(" server"), {{"radio", radio}, {"port", port}});
}

QCoro::Task<void> waitInto(RigControlServerDiscovery &discovery, std::chrono::milliseconds timeout,
                           std::optional<std::optional<RigControlServerEndpoint>> &out, QString radio = {})
{
    out = co_await discovery.waitForEndpoint(std::move(radio), timeout);
}

class RigControlServerDiscoveryTest : public ::testing::Test {
protected:
    RigControlServerDiscoveryTest()
    {
        discovery.setOnEndpointsChanged([this] { ++callbacks; });
    }

    void publish(const QList<BonjourBrowseResult> &results)
    {
        env.bonjour().setResults(kType, results);
        test::ManualClock::processEvents();
    }

    QStringList logLines()
    {
        QStringList out;
        for (const auto &e : env.log().entries) {
            EXPECT_EQ(e.category, "services");
            out << e.message;
        }
        return out;
    }

    test::TestPlatform env;
    RigControlServerDiscovery discovery{env.bonjour(), env.clock()};
    int callbacks = 0;
};

TEST_F(RigControlServerDiscoveryTest, BrowsesOnceAndLogsItsStates)
{
    discovery.startBrowsing();
    discovery.startBrowsing();
    test::ManualClock::processEvents();
    EXPECT_TRUE(discovery.isBrowsing());
    EXPECT_EQ(env.bonjour().browseCalls(), 1);
    env.bonjour().emitState(kType, QStringLiteral("failed(the Bonjour daemon could not be reached)"));
    // A failed browser stays; only stopping and starting again makes a new one.
    discovery.startBrowsing();
    EXPECT_EQ(env.bonjour().browseCalls(), 1);
    EXPECT_TRUE(discovery.isBrowsing());
    EXPECT_EQ(logLines(), (QStringList{
                              "[RigControlServerDiscovery] browsing for _cordavelle-rigcontrol._tcp",
                              "[RigControlServerDiscovery] browser state: ready",
                              "[RigControlServerDiscovery] browser state: failed(the Bonjour daemon could not be reached)",
                          }));
    discovery.stopBrowsing();
    test::ManualClock::processEvents();
    EXPECT_EQ(env.bonjour().runningBrowsers(kType), 0);
    discovery.startBrowsing();
    EXPECT_EQ(env.bonjour().browseCalls(), 2);
}

TEST_F(RigControlServerDiscoveryTest, KeepsOnlyResultsWithARadioAndAValidPort)
{
    discovery.startBrowsing();
    test::ManualClock::processEvents();
    QList<BonjourBrowseResult> set{rig("IC%1x", "4533"), rig("A", "70000"), rig("B", "abc"), rig("C", " 4533"),
                                   server("D server", {{"radio", "D"}}), rig("", "4534"), rig("E", "+4535"), rig("F", "-0"),
                                   rig("G", "-1"), rig("H", "4536\n"), test::FakeBonjour::result("No TXT", kType, std::nullopt)};
    publish(set);
    // A radio name is outside text: its "%1" is printed as it stands.
    EXPECT_EQ(discovery.endpoints(), (QList<RigControlServerEndpoint>{{"E", 4535}, {"F", 0}, {"IC%1x", 4533}}));
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(logLines().mid(2), (QStringList{
                                     "[RigControlServerDiscovery] result has malformed TXT (radio=\"A\", port=\"70000\")",
                                     "[RigControlServerDiscovery] result has malformed TXT (radio=\"B\", port=\"abc\")",
                                     "[RigControlServerDiscovery] result has malformed TXT (radio=\"C\", port=\" 4533\")",
                                     "[RigControlServerDiscovery] result has malformed TXT (radio=\"D\", port=\"\")",
                                     "[RigControlServerDiscovery] result has malformed TXT (radio=\"\", port=\"4534\")",
                                     "[RigControlServerDiscovery] result has malformed TXT (radio=\"G\", port=\"-1\")",
                                     "[RigControlServerDiscovery] result has malformed TXT (radio=\"H\", port=\"4536\n\")",
                                     "[RigControlServerDiscovery] result missing TXT record: "
                                     "No TXT._cordavelle-rigcontrol._tcp.local.",
                                     "[RigControlServerDiscovery] endpoints changed: "
                                     "[\"E@4535\", \"F@0\", \"IC%1x@4533\"]",
                                 }));

    // Each unusable advert is logged when it appears or changes, not at every change of the list:
    // a crowd of them would grow the log with its square.
    const qsizetype logged = logLines().size();
    set[2] = rig("B", "abd");
    set << rig("J", "4540");
    publish(set);
    EXPECT_EQ(logLines().mid(logged), (QStringList{
                                          "[RigControlServerDiscovery] result has malformed TXT (radio=\"B\", port=\"abd\")",
                                          "[RigControlServerDiscovery] endpoints changed: "
                                          "[\"E@4535\", \"F@0\", \"IC%1x@4533\", \"J@4540\"]",
                                      }));
}

TEST_F(RigControlServerDiscoveryTest, SortsByNameAndReportsOnlyRealChanges)
{
    discovery.startBrowsing();
    const QList<BonjourBrowseResult> set{rig("b", "1"), rig("A", "2"), rig("a", "3"),
                                         server("second A", {{"radio", "A"}, {"port", "4"}})};
    publish(set);
    const QList<RigControlServerEndpoint> sorted{{"A", 2}, {"A", 4}, {"a", 3}, {"b", 1}};
    EXPECT_EQ(discovery.endpoints(), sorted);
    EXPECT_EQ(discovery.endpoint("A"), (RigControlServerEndpoint{"A", 2}));
    EXPECT_EQ(callbacks, 1);

    // The same set again, even in another order, changes nothing.
    publish(set);
    publish({set[0], set[2], set[1], set[3]});
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(discovery.endpoints(), sorted);

    // Another host's advert is listed, but only this machine's are logged: a crowd of other
    // hosts' would print itself whole at each change.
    const qsizetype logged = logLines().size();
    publish({set[0], set[1], set[2], set[3], test::FakeBonjour::result("theirs", kType, BonjourTxtRecord({{"radio", "A"}, {"port", "5"}}), false)});
    EXPECT_EQ(discovery.endpoints().size(), 5);
    EXPECT_EQ(callbacks, 2);
    EXPECT_EQ(logLines().size(), logged);

    publish({});
    EXPECT_TRUE(discovery.endpoints().isEmpty());
    EXPECT_EQ(callbacks, 3);
    EXPECT_EQ(logLines().last(), "[RigControlServerDiscovery] endpoints changed: []");
}

TEST_F(RigControlServerDiscoveryTest, FindsARadioByItsExactName)
{
    discovery.startBrowsing();
    publish({rig("IC-7300", "4533"), rig("\u00c5 rig", "4540")});
    EXPECT_EQ(discovery.endpoint("IC-7300"), (RigControlServerEndpoint{"IC-7300", 4533}));
    EXPECT_EQ(discovery.endpoint("ic-7300"), std::nullopt);
    EXPECT_EQ(discovery.endpoint(" IC-7300"), std::nullopt);
    EXPECT_EQ(discovery.endpoint("\u00c5 rig")->port, 4540);
    // Canonically equal spellings of a name are the same name.
    EXPECT_EQ(discovery.endpoint("A\u030a rig")->port, 4540);
}

TEST_F(RigControlServerDiscoveryTest, StoppingEmptiesTheListWithoutTheCallback)
{
    discovery.startBrowsing();
    publish({rig("IC-7300", "4533")});
    int changes = 0;
    QObject::connect(&discovery, &RigControlServerDiscovery::endpointsChanged, [&] { ++changes; });
    discovery.stopBrowsing();
    EXPECT_FALSE(discovery.isBrowsing());
    EXPECT_TRUE(discovery.endpoints().isEmpty());
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(logLines().last(), "[RigControlServerDiscovery] stopped browsing");

    // Results of the stopped browser are no longer heard.
    env.bonjour().setResults(kType, {rig("X", "1")});
    test::ManualClock::processEvents();
    EXPECT_TRUE(discovery.endpoints().isEmpty());

    // Stopping while idle still logs.
    discovery.stopBrowsing();
    EXPECT_EQ(logLines().filter("stopped browsing").size(), 2);
}

TEST_F(RigControlServerDiscoveryTest, WaitingForAnEndpointChecksEveryTenthOfASecond)
{
    discovery.startBrowsing();
    std::optional<std::optional<RigControlServerEndpoint>> result;

    auto nothing = waitInto(discovery, 3s, result);
    env.clock().advance(2900ms);
    EXPECT_FALSE(result.has_value());
    env.clock().advance(100ms);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, std::nullopt);
    EXPECT_EQ(env.clock().sleepLog().size(), 30u);
    EXPECT_TRUE(std::all_of(env.clock().sleepLog().begin(), env.clock().sleepLog().end(),
                            [](auto d) { return d == 100ms; }));

    // A server that appears during the wait is returned at the next check, whichever radio it is.
    result.reset();
    auto arriving = waitInto(discovery, 3s, result);
    env.clock().advance(250ms);
    publish({rig("FT-991", "4600")});
    EXPECT_FALSE(result.has_value());
    env.clock().advance(50ms);
    EXPECT_EQ(result, std::optional<std::optional<RigControlServerEndpoint>>(RigControlServerEndpoint{"FT-991", 4600}));
    // A copy: the list still names the server it returned.
    EXPECT_EQ(discovery.endpoints(), QList<RigControlServerEndpoint>({{"FT-991", 4600}}));

    // One already listed is returned without waiting.
    result.reset();
    const auto sleeps = env.clock().sleepLog().size();
    auto immediate = waitInto(discovery, 3s, result);
    EXPECT_TRUE(result.has_value());
    EXPECT_EQ(env.clock().sleepLog().size(), sleeps);

    // For a named radio, only this machine's advert for it ends the wait.
    result.reset();
    auto named = waitInto(discovery, 3s, result, QStringLiteral("IC-7300"));
    publish({rig("FT-991", "4600"), test::FakeBonjour::result("theirs", kType, BonjourTxtRecord({{"radio", "IC-7300"}, {"port", "4601"}}), false)});
    env.clock().advance(1s);
    EXPECT_FALSE(result.has_value());
    publish({rig("FT-991", "4600"), rig("IC-7300", "4602")});
    env.clock().advance(100ms);
    EXPECT_EQ(result, std::optional<std::optional<RigControlServerEndpoint>>(RigControlServerEndpoint{"IC-7300", 4602}));
}

// While the daemon is gone, what it listed may or may not still stand: a running Direwolf must not
// be moved for it, so the list stays and only once the daemon is back does it change.
TEST_F(RigControlServerDiscoveryTest, TheListStaysAsTheDaemonLastListedItWhileTheDaemonIsGone)
{
    discovery.startBrowsing();
    publish({rig("IC-7300", "4533")});
    const int before = callbacks;
    env.bonjour().stopDaemon();
    test::ManualClock::processEvents();
    EXPECT_FALSE(discovery.isCurrent());
    EXPECT_EQ(discovery.endpoints(), QList<RigControlServerEndpoint>({{"IC-7300", 4533}}));
    EXPECT_EQ(callbacks, before);
    EXPECT_TRUE(logLines().contains("[RigControlServerDiscovery] browser state: unavailable(avahi-daemon is not running)"));

    env.bonjour().setResults(kType, {rig("IC-705", "4534")});
    env.bonjour().startDaemon();
    test::ManualClock::processEvents();
    EXPECT_TRUE(discovery.isCurrent());
    EXPECT_EQ(discovery.endpoints(), QList<RigControlServerEndpoint>({{"IC-705", 4534}}));
    EXPECT_EQ(callbacks, before + 1);
}

} // namespace
} // namespace cordavelle
