#include "api/bonjour_advertiser.h"
#include "core/config_store.h"

#include "support/event_wait.h"
#include "support/manual_clock.h"
#include "support/test_platform.h"

#include <QSysInfo>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(BonjourAdvertiser, PublishesTheListenersPortWithVersionAndHostName)
{
    test::TestPlatform env;
    ConfigStore config(env.defaults(), env.platform());
    BonjourAdvertiser advertiser(config, env.bonjour(), env.systemInfo());
    int changes = 0;
    QObject::connect(&advertiser, &BonjourAdvertiser::isAdvertisingChanged, [&] { ++changes; });

    // A listener that is not listening (the server failed to start) publishes nothing.
    QTcpServer idle;
    advertiser.advertise(&idle, "1.0");
    advertiser.advertise(nullptr, "1.0");
    EXPECT_TRUE(env.bonjour().advertisements().empty());

    auto listener = std::make_unique<QTcpServer>();
    ASSERT_TRUE(listener->listen(QHostAddress::LocalHost, 0));
    advertiser.advertise(listener.get(), "2.5");
    auto ads = env.bonjour().advertisements();
    ASSERT_EQ(ads.size(), 1u);
    EXPECT_EQ(ads[0].service.name, config.serviceName());
    EXPECT_EQ(ads[0].service.type, "_cordavelle-helper._tcp");
    EXPECT_TRUE(ads[0].service.domain.isEmpty());
    EXPECT_EQ(ads[0].port, listener->serverPort());
    EXPECT_EQ(ads[0].service.txt.text("version"), QStringLiteral("2.5"));
    EXPECT_EQ(ads[0].service.txt.text("hostname"), QStringLiteral("testhost"));

    // Advertised only once Bonjour has confirmed it.
    EXPECT_FALSE(advertiser.isAdvertising());
    EXPECT_TRUE(test::processEventsUntil([&] { return advertiser.isAdvertising(); }));
    EXPECT_EQ(changes, 1);

    // A later change of the name leaves the published one alone, and the status menu shows
    // the name the service really stands under.
    const QString published = ads[0].service.name;
    config.setServiceName("Renamed");
    EXPECT_EQ(env.bonjour().advertisements()[0].service.name, published);
    EXPECT_EQ(advertiser.advertisedName(), published);

    // The advertisement ends with the listener.
    listener.reset();
    EXPECT_TRUE(env.bonjour().advertisements().empty());
    EXPECT_FALSE(advertiser.isAdvertising());
    EXPECT_EQ(advertiser.advertisedName(), "");
    EXPECT_EQ(changes, 2);
}

TEST(BonjourAdvertiser, AMachineWithoutAPrettyNameIsAnnouncedByItsHostName)
{
    test::TestPlatform env;
    env.systemInfo().host.clear();
    ConfigStore config(env.defaults(), env.platform());
    BonjourAdvertiser advertiser(config, env.bonjour(), env.systemInfo());
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    advertiser.advertise(&listener, "1.0");
    ASSERT_EQ(env.bonjour().advertisements().size(), 1u);
    EXPECT_EQ(env.bonjour().advertisements()[0].service.txt.text("hostname"), QSysInfo::machineHostName());
}

TEST(BonjourAdvertiser, ATakenNameIsShownAsTheNameBonjourRegistered)
{
    test::TestPlatform env;
    ConfigStore config(env.defaults(), env.platform());
    config.setServiceName("Shack");
    env.bonjour().takeName(BonjourAdvertiser::kServiceType, "Shack");
    BonjourAdvertiser advertiser(config, env.bonjour(), env.systemInfo());
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    advertiser.advertise(&listener, "1.0");
    EXPECT_EQ(advertiser.advertisedName(), "");
    EXPECT_TRUE(test::processEventsUntil([&] { return advertiser.advertisedName() == "Shack (2)"; }));
}

TEST(BonjourAdvertiser, AFailedRegistrationIsNotAdvertisedAndLoggedOnce)
{
    test::TestPlatform env;
    ConfigStore config(env.defaults(), env.platform());
    BonjourAdvertiser advertiser(config, env.bonjour(), env.systemInfo());
    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    env.bonjour().failNextAdvertisement("the daemon is not running");
    advertiser.advertise(&listener, "1.0");
    const QString line = "[BonjourAdvertiser] Could not advertise the helper over Bonjour: the daemon is not running";
    EXPECT_TRUE(test::processEventsUntil([&] { return env.log().contains(line); }));
    test::ManualClock::processEvents();
    EXPECT_EQ(env.log().messages().filter("Could not advertise").size(), 1);
    EXPECT_FALSE(advertiser.isAdvertising());
    EXPECT_EQ(advertiser.advertisedName(), "");
}

} // namespace
} // namespace cordavelle
