#include "api/bonjour_advertiser.h"
#include "core/config_store.h"
#include "platform/avahi_bonjour.h"

#include "support/avahi.h"
#include "support/test_platform.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QUuid>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

// The helper's advertisement as another machine's browser sees it through the real avahi-daemon.
TEST(HelperAdvertisement, SeenByAvahiBrowseWithPortAndTxt)
{
    if (!test::avahiReachable()) {
        GTEST_SKIP() << "avahi-daemon is not reachable";
    }
    test::TestPlatform env;
    env.useSystemClock();
    env.platform().setBonjour(std::make_shared<AvahiBonjour>());
    ConfigStore config(env.defaults(), env.platform());
    const QString name = "Helper Test " + QUuid::createUuid().toString(QUuid::Id128).left(8);
    config.setServiceName(name);

    QTcpServer listener;
    ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
    BonjourAdvertiser advertiser(config, env.platform().bonjour(), env.platform().systemInfo());
    advertiser.advertise(&listener, "3.1");
    // The daemon confirms the registration before the helper counts as advertised.
    QElapsedTimer confirmation;
    confirmation.start();
    while (!advertiser.isAdvertising() && confirmation.elapsed() < 15000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    }
    ASSERT_TRUE(advertiser.isAdvertising());
    EXPECT_EQ(advertiser.advertisedName(), name);

    // Let the registration reach the daemon before browsing.
    QElapsedTimer timer;
    timer.start();
    std::optional<test::AvahiBrowseEntry> found;
    while (!found && timer.elapsed() < 15000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
        if (auto entries = test::avahiBrowse("_cordavelle-helper._tcp", std::chrono::seconds(3))) {
            for (const auto &entry : *entries) {
                if (entry.name == name) {
                    found = entry;
                }
            }
        }
    }
    ASSERT_TRUE(found) << "advertisement not seen by avahi-browse";
    EXPECT_EQ(found->port, listener.serverPort());
    EXPECT_TRUE(found->txt.contains("version=3.1"));
    EXPECT_TRUE(found->txt.contains("hostname=testhost"));
}

} // namespace
} // namespace cordavelle
