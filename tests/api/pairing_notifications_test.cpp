#include "api/pairing_manager.h"
#include "api/pairing_notifications.h"

#include "support/task_outcome.h"
#include "support/refusing_defaults.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace cordavelle {
namespace {

TEST(PairingNotifications, CategoryAndRequestAsTheDesktopGetsThem)
{
    test::TestPlatform env;
    registerPairingNotificationCategory(env.notifications());
    ASSERT_EQ(env.notifications().categories.size(), 1);
    const auto &category = env.notifications().categories[0];
    EXPECT_EQ(category.identifier, "PAIRING_REQUEST");
    ASSERT_EQ(category.actions.size(), 2);
    EXPECT_EQ(category.actions[0].identifier, "ACCEPT_PAIRING");
    EXPECT_EQ(category.actions[0].title, "Accept");
    EXPECT_FALSE(category.actions[0].destructive);
    EXPECT_EQ(category.actions[1].identifier, "DENY_PAIRING");
    EXPECT_EQ(category.actions[1].title, "Deny");
    EXPECT_TRUE(category.actions[1].destructive);

    PairedClient client;
    client.id = "c1";
    client.hostname = "Bob's (laptop)";
    client.platform = "linux 'x'";
    sendPairingNotification(env.notifications(), client);
    ASSERT_EQ(env.notifications().requests.size(), 1u);
    const auto &request = env.notifications().requests[0];
    EXPECT_EQ(request.identifier, "pairing-c1");
    EXPECT_EQ(request.title, "Pairing Request");
    EXPECT_EQ(request.body, "'Bob's (laptop)' (linux 'x') is requesting access");
    EXPECT_EQ(request.categoryIdentifier, "PAIRING_REQUEST");
    EXPECT_EQ(request.userInfo, (QVariantMap{{"clientId", "c1"}}));
    EXPECT_TRUE(request.sound);

    // The longest name a client may send keeps its two ends; a character outside the basic plane
    // at the cut is not split.
    client.hostname = QString(22, QLatin1Char('a')) + QString::fromUtf8("\U0001F4E1") + QString(218, QLatin1Char('a')) +
                      QStringLiteral("-shack.local.");
    ASSERT_EQ(client.hostname.size(), 255);
    sendPairingNotification(env.notifications(), client);
    ASSERT_EQ(env.notifications().requests.size(), 2u);
    EXPECT_EQ(env.notifications().requests[1].body,
              QStringLiteral("'") + QString(22, QLatin1Char('a')) + QString::fromUtf8("\u2026") +
                  QString(11, QLatin1Char('a')) + QStringLiteral("-shack.local.' (linux 'x') is requesting access"));
}

TEST(PairingNotifications, AcceptDenyAndClickReachTheManager)
{
    test::TestPlatform env;
    test::RefusingDefaults defaults;
    PairingManager manager(defaults, env.clock(), env.keychain(), env.attention());
    PairingNotificationDelegate delegate(env.notifications(), manager);
    const auto client = *test::runToEnd(manager.requestPairing("c1", "host", "linux", "")).client;
    sendPairingNotification(env.notifications(), client);
    const auto request = env.notifications().requests.back();

    env.notifications().respond(NotificationResponse::kDefaultAction, request);
    EXPECT_EQ(manager.client("c1")->status, PairingStatus::pending);

    env.notifications().respond("ACCEPT_PAIRING", request);
    EXPECT_EQ(manager.client("c1")->status, PairingStatus::approved);
    EXPECT_TRUE(manager.validateToken(client.token));

    // A response without a usable client id does nothing.
    test::runToEnd(manager.requestPairing("c1", "host", "linux", ""));
    NotificationRequest stray = request;
    stray.userInfo = {{"clientId", 42}};
    env.notifications().respond("DENY_PAIRING", stray);
    EXPECT_EQ(manager.client("c1")->status, PairingStatus::pending);

    env.notifications().respond("DENY_PAIRING", request);
    EXPECT_EQ(manager.client("c1")->status, PairingStatus::denied);
    EXPECT_FALSE(manager.validateToken(client.token));

    // An Accept that cannot be saved leaves the client as it was and says why.
    test::runToEnd(manager.requestPairing("c1", "host", "linux", ""));
    defaults.refusal = "No space left on device";
    env.notifications().respond("ACCEPT_PAIRING", request);
    EXPECT_EQ(manager.client("c1")->status, PairingStatus::pending);
    const NotificationRequest &told = env.notifications().requests.back();
    EXPECT_EQ(told.title, "Pairing Not Accepted");
    EXPECT_EQ(told.body, "Could not save the paired clients \u2014 No space left on device. 'host' is left as it "
                         "was; decide again on the Clients page.");
}

// A request decided anywhere takes its notice away, and a button pressed on that notice later
// changes nothing.
TEST(PairingNotifications, ADecidedRequestsNoticeIsWithdrawnAndItsButtonsDoNothing)
{
    const std::vector<std::tuple<const char *, std::function<void(PairingManager &)>, std::optional<PairingStatus>>>
        decisions = {
            {"approved in the window", [](PairingManager &m) { m.approve("c1"); }, PairingStatus::approved},
            {"denied in the window", [](PairingManager &m) { m.deny("c1"); }, PairingStatus::denied},
            {"all pending approved", [](PairingManager &m) { m.approveAllPending(); }, PairingStatus::approved},
            {"removed", [](PairingManager &m) { m.revoke("c1"); }, std::nullopt},
            {"every pairing cleared", [](PairingManager &m) { m.clearAll(); }, std::nullopt},
        };
    for (const auto &[name, decide, decided] : decisions) {
        test::TestPlatform env;
        PairingManager manager(env.defaults(), env.clock(), env.keychain(), env.attention());
        PairingNotificationDelegate delegate(env.notifications(), manager);
        test::runToEnd(manager.requestPairing("c1", "host", "linux", ""));
        test::runToEnd(manager.requestPairing("c2", "host", "linux", ""));
        sendPairingNotification(env.notifications(), *manager.client("c1"));
        const auto notice = env.notifications().requests.back();
        // Asking again leaves the request undecided.
        test::runToEnd(manager.requestPairing("c1", "host", "linux", ""));
        EXPECT_TRUE(env.notifications().withdrawn.empty()) << name;

        decide(manager);
        EXPECT_TRUE(std::count(env.notifications().withdrawn.begin(), env.notifications().withdrawn.end(), "pairing-c1"))
            << name;
        for (const char *action : {"ACCEPT_PAIRING", "DENY_PAIRING"}) {
            env.notifications().respond(action, notice);
            const auto client = manager.client("c1");
            EXPECT_EQ(client ? std::optional(client->status) : std::nullopt, decided) << name << " " << action;
        }
    }
}

} // namespace
} // namespace cordavelle
