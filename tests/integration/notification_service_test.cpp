#include "api/api_router.h"
#include "api/http_server.h"
#include "api/pairing_manager.h"
#include "api/pairing_notifications.h"
#include "base/json_support.h"
#include "core/config_store.h"
#include "platform/notifications.h"

#include "support/event_wait.h"
#include "support/no_services.h"
#include "support/private_session_bus.h"
#include "support/test_platform.h"
#include "support/wire_client.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

// A stand-in for the desktop's notification server, on the test's own session bus.
class StandInNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Posted {
        uint id;
        uint replacesId;
        QString summary;
        QString body;
        QStringList actions;
    };
    std::vector<Posted> posted;
    std::vector<uint> closed;
    QStringList capabilities{"actions", "body", "body-markup", "sound"};

public Q_SLOTS:
    uint Notify(const QString &, uint replacesId, const QString &, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &, int)
    {
        const uint id = replacesId != 0 ? replacesId : ++m_next;
        posted.push_back({id, replacesId, summary, body, actions});
        return id;
    }
    QStringList GetCapabilities() { return capabilities; }
    QString GetServerInformation(QString &vendor, QString &version, QString &spec)
    {
        vendor = "test";
        version = "1";
        spec = "1.2";
        return "stand-in";
    }
    void CloseNotification(uint id) { closed.push_back(id); }

Q_SIGNALS:
    void ActionInvoked(uint id, const QString &actionKey);
    void NotificationClosed(uint id, uint reason);

private:
    uint m_next = 0;
};

Json poll(quint16 port, const QString &clientId)
{
    const auto reply = test::WireReply::parse(
        test::exchange(port, "GET /pair/status/" + clientId.toUtf8() + " HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    return Json::parse(reply.body.toStdString(), nullptr, false);
}

TEST(DesktopNotifications, AcceptAndDenyThroughTheNotificationService)
{
    test::TestPlatform env;
    test::PrivateSessionBus bus;
    if (bus.address().isEmpty()) {
        GTEST_SKIP() << "dbus-daemon could not start a session bus";
    }
    bus.exportToEnvironment();

    QDBusConnection serverBus = QDBusConnection::connectToBus(bus.address(), "stand-in-server");
    ASSERT_TRUE(serverBus.isConnected());
    StandInNotificationServer server;
    ASSERT_TRUE(serverBus.registerObject("/org/freedesktop/Notifications", &server,
                                         QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
    ASSERT_TRUE(serverBus.registerService("org.freedesktop.Notifications"));

    auto notifications = std::make_shared<FreedesktopNotifications>();
    env.platform().setNotifications(notifications);
    PairingManager manager(env.defaults(), env.clock(), env.keychain(), env.attention());
    PairingNotificationDelegate delegate(*notifications, manager);
    registerPairingNotificationCategory(*notifications);
    ConfigStore config(env.defaults(), env.platform());
    test::NoServices services;
    HTTPServer api(env.platform().clock(), env.platform().peerOwners());
    ASSERT_TRUE(test::startOnFreePort(api, APIRouter::handler(services, config, manager, env.platform().clock(),
                                                              env.defaults(), *notifications)));

    // Two clients ask over the API; each request puts a notification before the user.
    for (const char *body : {R"({"clientId":"alice","hostname":"alice-pc","platform":"linux"})",
                             R"({"clientId":"bob","hostname":"bob-pc","platform":"mac"})"}) {
        env.clock().advance(std::chrono::seconds(2));
        const QByteArray payload(body);
        test::exchange(api.port(), "POST /pair/request HTTP/1.1\r\nContent-Length: "
                                       + QByteArray::number(payload.size()) + "\r\n\r\n" + payload);
    }
    const auto alice = *manager.client("alice");
    ASSERT_TRUE(test::processEventsUntil([&] { return server.posted.size() == 2; }));
    EXPECT_EQ(server.posted[0].summary, "Pairing Request");
    EXPECT_EQ(server.posted[0].body, "'alice-pc' (linux) is requesting access");
    EXPECT_EQ(server.posted[0].actions.mid(0, 4), (QStringList{"ACCEPT_PAIRING", "Accept", "DENY_PAIRING", "Deny"}));

    // The user presses Accept on Alice's notification and Deny on Bob's.
    Q_EMIT server.ActionInvoked(server.posted[0].id, "ACCEPT_PAIRING");
    Q_EMIT server.ActionInvoked(server.posted[1].id, "DENY_PAIRING");
    ASSERT_TRUE(test::processEventsUntil([&] { return manager.client("bob")->status == PairingStatus::denied; }));
    EXPECT_EQ(manager.client("alice")->status, PairingStatus::approved);
    EXPECT_EQ(manager.validateToken(alice.token)->id, "alice");
    EXPECT_EQ(poll(api.port(), "alice"), Json({{"status", "approved"}, {"token", alice.token.toStdString()}}));
    EXPECT_EQ(poll(api.port(), "bob"), Json({{"status", "denied"}}));

    // Both are decided: their notifications go, and a button still pressed on one does nothing.
    ASSERT_TRUE(test::processEventsUntil([&] { return server.closed.size() == 2; }));
    EXPECT_EQ(server.closed, (std::vector<uint>{server.posted[0].id, server.posted[1].id}));
    Q_EMIT server.ActionInvoked(server.posted[0].id, "DENY_PAIRING");
    test::processEventsFor(std::chrono::milliseconds(200));
    EXPECT_EQ(manager.client("alice")->status, PairingStatus::approved);

    // A second notification for a client still pending replaces the first.
    test::exchange(api.port(), "POST /pair/request HTTP/1.1\r\nContent-Length: 55\r\n\r\n"
                               R"({"clientId":"bob","hostname":"bob-pc","platform":"mac"})");
    ASSERT_TRUE(test::processEventsUntil([&] { return server.posted.size() == 3; }));
    test::processEventsFor(std::chrono::milliseconds(200));
    sendPairingNotification(*notifications, *manager.client("bob"));
    ASSERT_TRUE(test::processEventsUntil([&] { return server.posted.size() == 4; }));
    EXPECT_EQ(server.posted[3].replacesId, server.posted[2].id);

    // The client's texts show as sent on a server that reads markup in the body, and are left
    // as they are on one that doesn't.
    env.clock().advance(std::chrono::seconds(2));
    const QByteArray markup(R"({"clientId":"mallory","hostname":"<b>evil</b> & co","platform":"<a href='x'>mac</a>"})");
    test::exchange(api.port(), "POST /pair/request HTTP/1.1\r\nContent-Length: " + QByteArray::number(markup.size())
                                   + "\r\n\r\n" + markup);
    ASSERT_TRUE(test::processEventsUntil([&] { return server.posted.size() == 5; }));
    EXPECT_EQ(server.posted[4].body,
              "'&lt;b&gt;evil&lt;/b&gt; &amp; co' (&lt;a href='x'&gt;mac&lt;/a&gt;) is requesting access");
    server.capabilities.removeAll("body-markup");
    env.platform().setNotifications(std::make_shared<FreedesktopNotifications>());
    registerPairingNotificationCategory(env.platform().notifications());
    sendPairingNotification(env.platform().notifications(), *manager.client("mallory"));
    ASSERT_TRUE(test::processEventsUntil([&] { return server.posted.size() == 6; }));
    EXPECT_EQ(server.posted[5].body, "'<b>evil</b> & co' (<a href='x'>mac</a>) is requesting access");
}

} // namespace
} // namespace cordavelle

#include "notification_service_test.moc"
