#include "radio/keepalive_request_advertiser.h"
#include "platform/port_listeners.h"

#include "support/event_wait.h"
#include "support/qt_printers.h"
#include "support/test_platform.h"

#include <QTcpSocket>

#include <gtest/gtest.h>

#include <unistd.h>

namespace cordavelle {
namespace {

class KeepaliveRequestAdvertiserTest : public ::testing::Test {
protected:
    QStringList logLines()
    {
        QStringList out;
        for (const auto &e : env.log().entries) {
            EXPECT_EQ(e.category, "services");
            out << QString::fromUtf8(logLevelName(e.level)) + QLatin1Char(' ') + e.message;
        }
        return out;
    }

    test::TestPlatform env;
    KeepaliveRequestAdvertiser advertiser{env.bonjour()};
};

TEST_F(KeepaliveRequestAdvertiserTest, AnnouncesTheRadioOnAListenerOfItsOwn)
{
    advertiser.startAdvertising(QStringLiteral(" \tIC-7300\u00a0"));
    EXPECT_EQ(advertiser.advertisedRadioName(), QStringLiteral("IC-7300"));
    const auto ads = env.bonjour().advertisements();
    ASSERT_EQ(ads.size(), 1u);
    EXPECT_EQ(ads[0].service.name, "Cordavelle Keepalive (IC-7300)");
    EXPECT_EQ(ads[0].service.type, "_cordavelle-keepalive-request._tcp");
    EXPECT_EQ(ads[0].service.domain, QString());
    EXPECT_EQ(ads[0].service.txt, (BonjourTxtRecord{{"radio", "IC-7300"}}));
    EXPECT_NE(ads[0].port, 0);
    EXPECT_EQ(logLines(), QStringList{"info [KeepaliveRequestAdvertiser] advertising _cordavelle-keepalive-request._tcp "
                                      "radio=\"IC-7300\" — Cordavelle will hold this radio's RigControlServer open"});

    // Whoever connects is sent away at once.
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, ads[0].port);
    EXPECT_TRUE(test::processEventsUntil([&] { return client.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(client.bytesAvailable(), 0);
}

TEST_F(KeepaliveRequestAdvertiserTest, AnotherRadioReplacesTheFirst)
{
    advertiser.startAdvertising(QStringLiteral("IC-7300"));
    const quint16 firstPort = env.bonjour().advertisements().at(0).port;
    advertiser.startAdvertising(QStringLiteral("FT-991A"));
    const auto ads = env.bonjour().advertisements();
    ASSERT_EQ(ads.size(), 1u);
    EXPECT_EQ(ads[0].service.name, "Cordavelle Keepalive (FT-991A)");
    EXPECT_EQ(advertiser.advertisedRadioName(), QStringLiteral("FT-991A"));
    // Stopped once the daemon has withdrawn it, which may come after the second is published.
    const QString stopped = "info [KeepaliveRequestAdvertiser] stopped advertising for radio=\"IC-7300\"";
    EXPECT_TRUE(test::processEventsUntil([&] { return logLines().contains(stopped); }));
    EXPECT_TRUE(logLines().contains("info [KeepaliveRequestAdvertiser] advertising _cordavelle-keepalive-request._tcp "
                                    "radio=\"FT-991A\" — Cordavelle will hold this radio's RigControlServer open"));
    EXPECT_EQ(logLines().count(stopped), 1);

    // The first listener is closed: no socket of this process listens on its port any more. A
    // connection there proves nothing, as the port is free for any program to listen on by then.
    const auto listeners = tcpListenersOn(firstPort);
    ASSERT_TRUE(listeners.has_value());
    std::vector<unsigned long> sockets;
    for (const PortListener &listener : *listeners) {
        sockets.push_back(listener.inode);
    }
    EXPECT_FALSE(processTreeHolds({::getpid(), {}}, sockets));
}

TEST_F(KeepaliveRequestAdvertiserTest, TheSameRadioAgainOrABlankNameChangesNothing)
{
    advertiser.startAdvertising(QStringLiteral("IC-7300"));
    advertiser.startAdvertising(QStringLiteral("  IC-7300 "));
    advertiser.startAdvertising(QStringLiteral(" \t "));
    EXPECT_EQ(env.bonjour().advertiseCalls(), 1);
    EXPECT_EQ(env.bonjour().advertisements().size(), 1u);
    EXPECT_EQ(advertiser.advertisedRadioName(), QStringLiteral("IC-7300"));
    EXPECT_EQ(logLines().size(), 2);
    EXPECT_EQ(logLines().last(), "error [KeepaliveRequestAdvertiser] startAdvertising called with empty radio name — ignoring");
}

TEST_F(KeepaliveRequestAdvertiserTest, StoppingWithdrawsOnceAndLogsOnlyWhatItWithdrew)
{
    advertiser.stopAdvertising();
    EXPECT_TRUE(env.log().entries.empty());
    advertiser.startAdvertising(QStringLiteral("IC-7300"));
    advertiser.stopAdvertising();
    advertiser.stopAdvertising();
    EXPECT_TRUE(env.bonjour().advertisements().empty());
    EXPECT_EQ(advertiser.advertisedRadioName(), std::nullopt);
    EXPECT_TRUE(test::processEventsUntil([&] { return logLines().size() == 2; }));
    test::processEventsFor(std::chrono::milliseconds(0));
    EXPECT_EQ(logLines().mid(1), QStringList{"info [KeepaliveRequestAdvertiser] stopped advertising for radio=\"IC-7300\""});
}

// A request that could not be published does not stand: the log says so, and a later start asks
// again rather than taking it for one that stands.
TEST_F(KeepaliveRequestAdvertiserTest, ARegistrationThatFailsIsLoggedAndStandsNoLonger)
{
    env.bonjour().failNextAdvertisement(QStringLiteral("the name is already taken"));
    QStringList failures;
    QObject::connect(&advertiser, &KeepaliveRequestAdvertiser::advertisingFailed,
                     [&](const QString &radio, const QString &reason) { failures << radio + QLatin1Char('|') + reason; });
    advertiser.startAdvertising(QStringLiteral("IC-7300"));
    EXPECT_TRUE(test::processEventsUntil([&] { return !failures.isEmpty(); }));
    EXPECT_EQ(failures, QStringList{"IC-7300|the name is already taken"});
    EXPECT_EQ(advertiser.advertisedRadioName(), std::nullopt);
    EXPECT_EQ(advertiser.listeningPort(), std::nullopt);
    EXPECT_EQ(logLines().last(),
              "error [KeepaliveRequestAdvertiser] failed to advertise keep-alive request for IC-7300: the name is already taken");
    advertiser.startAdvertising(QStringLiteral("IC-7300"));
    EXPECT_EQ(env.bonjour().advertisements().size(), 1u);
}

} // namespace
} // namespace cordavelle
