#include "api/pairing_manager.h"
#include "api/pairing_notifications.h"

#include "support/task_outcome.h"
#include "support/refusing_defaults.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

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

    env.notifications().respond("DENY_PAIRING", request);
    EXPECT_EQ(manager.client("c1")->status, PairingStatus::denied);
    EXPECT_FALSE(manager.validateToken(client.token));

    // A response without a usable client id does nothing.
    NotificationRequest stray = request;
    stray.userInfo = {{"clientId", 42}};
    env.notifications().respond("ACCEPT_PAIRING", stray);
    EXPECT_EQ(manager.client("c1")->status, PairingStatus::denied);

    // An Accept that cannot be saved leaves the client as it was and says why.
    defaults.refusal = "No space left on device";
    env.notifications().respond("ACCEPT_PAIRING", request);
    EXPECT_EQ(manager.client("c1")->status, PairingStatus::denied);
    const NotificationRequest &told = env.notifications().requests.back();
    EXPECT_EQ(told.title, "Pairing Not Accepted");
    EXPECT_EQ(told.body, "Could not save the paired clients \u2014 No space left on device. 'host' is left as it "
                         "was; decide again on the Clients page.");
}

} // namespace
} // namespace cordavelle
