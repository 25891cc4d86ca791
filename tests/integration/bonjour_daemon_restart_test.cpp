#include "platform/avahi_bonjour.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include "support/event_wait.h"
#include "support/needs_root.h"
#include "support/test_platform.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

// A Bonjour station of the test's own (tests/support/private-avahi), whose daemon the test stops,
// freezes and starts again without touching the one other tests share.
class PrivateStation {
public:
    PrivateStation()
    {
        m_process.setProgram(QStringLiteral(HELPER_TEST_SOURCE_DIR "/support/private-avahi"));
        m_process.setArguments({m_folder.path()});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        const QString first = line();
        if (first.startsWith(QLatin1String("bus "))) {
            m_address = first.mid(4);
            m_bus = QDBusConnection::connectToBus(m_address, QStringLiteral("private-avahi-") + m_folder.path());
        }
        m_failure = first;
    }

    ~PrivateStation()
    {
        QDBusConnection::disconnectFromBus(m_bus.name());
        m_process.write("quit\n");
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    bool up() const { return m_bus.isConnected(); }
    QString failure() const { return m_failure; }
    const QDBusConnection &bus() const { return m_bus; }
    QString address() const { return m_address; }

    // Sends one command and waits for its answer.
    bool command(const QString &text)
    {
        m_process.write((text + QLatin1Char('\n')).toUtf8());
        const QString answer = line();
        EXPECT_EQ(answer, QStringLiteral("ok")) << text.toStdString();
        return answer == QLatin1String("ok");
    }

private:
    QString line()
    {
        const bool read = test::processEventsUntil([this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, 20s);
        return read ? QString::fromUtf8(m_process.readLine()).trimmed() : QStringLiteral("no answer");
    }

    QTemporaryDir m_folder;
    QProcess m_process;
    QDBusConnection m_bus{QString()};
    QString m_address;
    QString m_failure;
};

class AvahiDaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SKIP_UNLESS_ROOT("a Bonjour daemon of the test's own");
        env.useSystemClock();
        station.emplace();
        ASSERT_TRUE(station->up()) << station->failure().toStdString();
        bonjour.emplace(station->bus());
    }

    void TearDown() override
    {
        bonjour.reset();
        station.reset();
    }

    // An advert of the client's rig-control server for `radio`, published on the station.
    void advertise(const QString &radio, int port)
    {
        station->command(QStringLiteral("publish -s %1-server %2 %3 radio=%1 port=%3")
                             .arg(radio, RigControlServerDiscovery::kServiceType)
                             .arg(port));
    }

    test::TestPlatform env;
    std::optional<PrivateStation> station;
    std::optional<AvahiBonjour> bonjour;
};

// A package upgrade restarts avahi-daemon under the running helper.
TEST_F(AvahiDaemonTest, AStopIsNoFaultAndWhatStoodIsPublishedAndBrowsedAgainOnceTheDaemonIsBack)
{
    RigControlServerDiscovery discovery(*bonjour, env.platform().clock());
    discovery.startBrowsing();
    advertise(QStringLiteral("IC-7300"), 4533);
    ASSERT_TRUE(test::processEventsUntil([&] { return discovery.endpoint(QStringLiteral("IC-7300")).has_value(); }, 10s));
    EXPECT_TRUE(discovery.endpoint(QStringLiteral("IC-7300"))->fromThisMachine);

    KeepaliveRequestAdvertiser keepalive(*bonjour);
    keepalive.startAdvertising(QStringLiteral("IC-7300"));
    auto requests = bonjour->browse(KeepaliveRequestAdvertiser::kServiceType);
    const auto requestStands = [&] { return requests->isCurrent() && requests->results().size() == 1; };
    ASSERT_TRUE(test::processEventsUntil(requestStands, 10s));

    ASSERT_TRUE(station->command(QStringLiteral("stop")));
    // Unknown, not withdrawn: a running Direwolf keeps its server.
    EXPECT_TRUE(test::processEventsUntil([&] { return !discovery.isCurrent(); }, 5s));
    EXPECT_TRUE(discovery.endpoint(QStringLiteral("IC-7300")).has_value());
    EXPECT_TRUE(env.log().contains(QStringLiteral("browser state: unavailable(avahi-daemon is not running)")));
    EXPECT_TRUE(env.log().contains(QStringLiteral("keep-alive request for IC-7300 does not stand for now")));

    ASSERT_TRUE(station->command(QStringLiteral("start")));
    QElapsedTimer back;
    back.start();
    EXPECT_TRUE(test::processEventsUntil([&] { return requestStands() && discovery.isCurrent(); }, 10s));
    EXPECT_LT(back.elapsed(), 5000);
    EXPECT_EQ(keepalive.advertisedRadioName(), QStringLiteral("IC-7300"));

    // Browsing goes on: an advert published after the restart is seen, and the one gone with the
    // old daemon is not listed once the new one has said all it knows.
    advertise(QStringLiteral("IC-705"), 4534);
    EXPECT_TRUE(test::processEventsUntil([&] { return discovery.endpoint(QStringLiteral("IC-705")).has_value(); }, 10s));
    EXPECT_EQ(discovery.endpoint(QStringLiteral("IC-7300")), std::nullopt);
}

// Avahi renames the machine when another host claims its name: a service names the host it was
// added under, so what the helper published then follows the new name, or clients would reach the
// other host.
TEST_F(AvahiDaemonTest, WhatTheHelperPublishedFollowsTheMachinesNewHostName)
{
    KeepaliveRequestAdvertiser keepalive(*bonjour);
    keepalive.startAdvertising(QStringLiteral("IC-7300"));
    auto requests = bonjour->browse(KeepaliveRequestAdvertiser::kServiceType);
    const auto pointsAt = [&](const QString &host) {
        const auto found = requests->results();
        return found.size() == 1 && found.constFirst().host == host;
    };
    ASSERT_TRUE(test::processEventsUntil([&] { return requests->results().size() == 1; }, 10s));
    ASSERT_TRUE(station->command(QStringLiteral("rename renamed-station")));
    EXPECT_TRUE(test::processEventsUntil([&] { return pointsAt(QStringLiteral("renamed-station.local")); }, 10s));
}

// A hung daemon (stopped, here) holds no call of the helper's: the API and the windows share its
// thread. What was asked meanwhile is done once the daemon answers.
TEST_F(AvahiDaemonTest, AFrozenDaemonHoldsNothingOfTheHelpersThread)
{
    RigControlServerDiscovery discovery(*bonjour, env.platform().clock());
    discovery.startBrowsing();
    advertise(QStringLiteral("IC-7300"), 4533);
    ASSERT_TRUE(test::processEventsUntil([&] { return discovery.endpoint(QStringLiteral("IC-7300")).has_value(); }, 10s));

    ASSERT_TRUE(station->command(QStringLiteral("freeze")));
    QElapsedTimer calls;
    calls.start();
    KeepaliveRequestAdvertiser keepalive(*bonjour);
    keepalive.startAdvertising(QStringLiteral("IC-7300"));
    auto requests = bonjour->browse(KeepaliveRequestAdvertiser::kServiceType);
    EXPECT_LT(calls.elapsed(), 100);

    // The thread's longest gap between two ticks of a short timer while the daemon is frozen.
    QElapsedTimer tick;
    qint64 longest = 0;
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        longest = std::max(longest, tick.restart());
    });
    tick.start();
    timer.start();
    test::processEventsFor(3s);
    timer.stop();
    EXPECT_LT(longest, 200);
    EXPECT_TRUE(discovery.endpoint(QStringLiteral("IC-7300")).has_value());

    ASSERT_TRUE(station->command(QStringLiteral("thaw")));
    EXPECT_TRUE(test::processEventsUntil([&] { return requests->results().size() == 1; }, 10s));
    EXPECT_EQ(keepalive.advertisedRadioName(), QStringLiteral("IC-7300"));
}

// A client may move its server by updating its advert's TXT record in place: the list follows
// within 2 s, as the daemon's resolver reports the change.
TEST_F(AvahiDaemonTest, ATxtRecordUpdatedInPlaceReachesTheList)
{
    RigControlServerDiscovery discovery(*bonjour, env.platform().clock());
    discovery.startBrowsing();
    const auto ask = [&](const QString &path, const QString &interface, const QString &method, const QVariantList &arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Avahi"), path, interface, method);
        call.setArguments(arguments);
        const QDBusMessage reply = station->bus().call(call);
        EXPECT_NE(reply.type(), QDBusMessage::ErrorMessage) << reply.errorMessage().toStdString();
        return reply;
    };
    const QString group = qdbus_cast<QDBusObjectPath>(
                              ask(QStringLiteral("/"), QStringLiteral("org.freedesktop.Avahi.Server"), QStringLiteral("EntryGroupNew"), {})
                                  .arguments()
                                  .value(0))
                              .path();
    const QString entryGroup = QStringLiteral("org.freedesktop.Avahi.EntryGroup");
    const QString name = QStringLiteral("IC-7300 server");
    const auto txt = [](const char *port) { return QVariant::fromValue(QByteArrayList{"radio=IC-7300", QByteArray("port=") + port}); };
    ask(group, entryGroup, QStringLiteral("AddService"),
        {-1, -1, 0u, name, RigControlServerDiscovery::kServiceType, QString(), QString(), QVariant::fromValue(quint16(41000)), txt("41000")});
    ask(group, entryGroup, QStringLiteral("Commit"), {});
    const auto listedAt = [&](quint16 port) {
        const auto endpoint = discovery.endpoint(QStringLiteral("IC-7300"));
        return endpoint && endpoint->port == port;
    };
    ASSERT_TRUE(test::processEventsUntil([&] { return listedAt(41000); }, 10s));

    ask(group, entryGroup, QStringLiteral("UpdateServiceTxt"),
        {-1, -1, 0u, name, RigControlServerDiscovery::kServiceType, QString(), txt("42000")});
    QElapsedTimer moved;
    moved.start();
    EXPECT_TRUE(test::processEventsUntil([&] { return listedAt(42000); }, 10s));
    // avahi-daemon itself hands the new record out about 2 s after the update.
    EXPECT_LT(moved.elapsed(), 3000);
}

// Another station announces a crowd of adverts with nothing behind them, so that each resolve waits
// for the daemon's own time-out: the bus refuses no call of the helper's meanwhile, the user's
// advert and keep-alive request come and go as asked, and no advert is logged while it is pending.
TEST_F(AvahiDaemonTest, ACrowdOfEmptyAdvertsHoldsBackNothingOfTheUsersOwn)
{
    QProcess refusals;
    refusals.start(QStringLiteral("dbus-monitor"), {QStringLiteral("--address"), station->address(), QStringLiteral("type='error'")});
    QByteArray seen;
    const auto monitorSays = [&](const char *text) {
        seen += refusals.readAllStandardOutput();
        return seen.contains(text);
    };
    // It is told its own name when it starts monitoring.
    ASSERT_TRUE(test::processEventsUntil([&] { return monitorSays("NameLost"); }, 10s));

    RigControlServerDiscovery discovery(*bonjour, env.platform().clock());
    discovery.startBrowsing();
    auto requests = bonjour->browse(KeepaliveRequestAdvertiser::kServiceType);
    ASSERT_TRUE(test::processEventsUntil([&] { return discovery.isCurrent() && requests->isCurrent(); }, 10s));
    const std::size_t linesBefore = env.log().entries.size();
    ASSERT_TRUE(station->command(QStringLiteral("flood 1000 ") + RigControlServerDiscovery::kServiceType));

    KeepaliveRequestAdvertiser keepalive(*bonjour);
    keepalive.startAdvertising(QStringLiteral("IC-7300"));
    advertise(QStringLiteral("IC-705"), 4534);
    EXPECT_TRUE(test::processEventsUntil(
        [&] { return discovery.endpoint(QStringLiteral("IC-705")).has_value() && requests->results().size() == 1; }, 20s));
    keepalive.stopAdvertising();
    EXPECT_TRUE(test::processEventsUntil([&] { return requests->results().isEmpty(); }, 10s));
    EXPECT_TRUE(test::processEventsUntil([&] { return env.log().contains(QStringLiteral("stopped advertising")); }, 5s));

    // Each advert is logged at most once, when its resolve has ended; a few have by now.
    EXPECT_LT(env.log().entries.size() - linesBefore, 200u);
    EXPECT_FALSE(monitorSays("LimitsExceeded")) << seen.left(2000).toStdString();
    refusals.kill();
    refusals.waitForFinished();
}

} // namespace
} // namespace cordavelle
