#include "api/helper_keychain_storage.h"
#include "api/pairing_manager.h"

#include "support/task_outcome.h"
#include "support/refusing_defaults.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using Kind = PairingManager::PairingResult::Kind;

class PairingManagerTest : public ::testing::Test {
protected:
    std::unique_ptr<PairingManager> makeManager()
    {
        return std::make_unique<PairingManager>(env.defaults(), env.clock(), env.keychain(), env.attention());
    }
    nlohmann::ordered_json storedTable()
    {
        const auto data = env.defaults().dataForKey("pairedClients");
        return data ? nlohmann::ordered_json::parse(data->toStdString()) : nlohmann::ordered_json();
    }
    QString tokenOf(const QString &id) { return QString::fromUtf8(env.keychain().items(HelperKeychainStorage::kService).value(id)); }

    test::TestPlatform env;
};

TEST_F(PairingManagerTest, NewClientIsPendingWithAStoredTokenAndAnAttentionRequest)
{
    auto manager = makeManager();
    const auto result = test::runToEnd(manager->requestPairing("c1", "laptop", "linux", "127.0.0.1"));
    ASSERT_EQ(result.kind, Kind::accepted);
    ASSERT_TRUE(result.client);
    EXPECT_EQ(result.client->status, PairingStatus::pending);
    EXPECT_EQ(result.client->token.size(), 64);
    EXPECT_TRUE(QRegularExpression("^[0-9a-f]{64}$").match(result.client->token).hasMatch());
    EXPECT_EQ(tokenOf("c1"), result.client->token);
    EXPECT_EQ(manager->pendingCount(), 1);
    EXPECT_EQ(env.attention().requests, std::vector<bool>{true});
    // Pending tokens do not open the API.
    EXPECT_FALSE(manager->validateToken(result.client->token));
    // The stored table has no token.
    EXPECT_FALSE(storedTable()[0].contains("token"));
}

TEST_F(PairingManagerTest, RateLimitPerHostButNotForKnownClients)
{
    auto manager = makeManager();
    EXPECT_EQ(test::runToEnd(manager->requestPairing("a", "h", "p", "10.0.0.5")).kind, Kind::accepted);
    env.clock().advance(500ms);
    EXPECT_EQ(test::runToEnd(manager->requestPairing("b", "h", "p", "10.0.0.5")).kind, Kind::rateLimited);
    EXPECT_EQ(test::runToEnd(manager->requestPairing("c", "h", "p", "10.0.0.6")).kind, Kind::accepted);
    // A known client repeats at any rate.
    EXPECT_EQ(test::runToEnd(manager->requestPairing("a", "h", "p", "10.0.0.5")).kind, Kind::accepted);
    env.clock().advance(500ms);
    // 1.0 s after the last request that passed the limit (the refused one did not renew it).
    EXPECT_EQ(test::runToEnd(manager->requestPairing("b", "h", "p", "10.0.0.5")).kind, Kind::accepted);
    EXPECT_EQ(manager->clients().size(), 3u);
}

TEST_F(PairingManagerTest, CapacityEvictsTheOldestUnapprovedRecord)
{
    auto manager = makeManager();
    for (int i = 0; i < 50; ++i) {
        const QString id = QStringLiteral("c%1").arg(i);
        ASSERT_EQ(test::runToEnd(manager->requestPairing(id, "h", "p", "")).kind, Kind::accepted);
        manager->approve(id);
    }
    EXPECT_EQ(test::runToEnd(manager->requestPairing("new", "h", "p", "")).kind, Kind::capacityExceeded);

    // Two denied records with the same pairing time: the one nearer the start goes.
    manager->deny("c7");
    manager->deny("c3");
    const auto clients = manager->clients();
    ASSERT_EQ(clients[3].pairedAt, clients[7].pairedAt);
    env.clock().advance(1s);
    ASSERT_EQ(test::runToEnd(manager->requestPairing("new", "h", "p", "")).kind, Kind::accepted);
    EXPECT_EQ(manager->clients().size(), 50u);
    EXPECT_FALSE(manager->client("c3"));
    EXPECT_TRUE(manager->client("c7"));
    EXPECT_EQ(tokenOf("c3"), "");
    // Paired at different times, the earlier goes, denied or pending: never the request the user
    // is about to approve.
    env.clock().advance(1s);
    ASSERT_EQ(test::runToEnd(manager->requestPairing("newer", "h", "p", "")).kind, Kind::accepted);
    EXPECT_FALSE(manager->client("c7"));
    env.clock().advance(1s);
    ASSERT_EQ(test::runToEnd(manager->requestPairing("newest", "h", "p", "")).kind, Kind::accepted);
    EXPECT_FALSE(manager->client("new"));
    EXPECT_TRUE(manager->client("newer"));
    EXPECT_TRUE(manager->client("newest"));
    // A known client is admitted when the table is full.
    EXPECT_EQ(test::runToEnd(manager->requestPairing("c10", "h2", "p2", "")).kind, Kind::accepted);
}

TEST_F(PairingManagerTest, AFloodOfNewClientsNeverPushesOutAClientThatHoldsAnApproval)
{
    auto manager = makeManager();
    const QString claimed = test::runToEnd(manager->requestPairing("claimed", "h", "p", "")).client->token;
    manager->approve("claimed");
    manager->markTokenClaimed("claimed");
    const QString fresh = test::runToEnd(manager->requestPairing("fresh", "h", "p", "")).client->token;
    manager->approve("fresh");
    // Anyone may ask again under a known id: both go back to pending.
    test::runToEnd(manager->requestPairing("claimed", "attacker", "p", ""));
    test::runToEnd(manager->requestPairing("fresh", "attacker", "p", ""));

    for (int i = 0; i < 120; ++i) {
        ASSERT_EQ(test::runToEnd(manager->requestPairing(QStringLiteral("flood%1").arg(i), "h", "p", "")).kind, Kind::accepted);
    }
    EXPECT_EQ(manager->clients().size(), 50u);
    EXPECT_EQ(tokenOf("claimed"), claimed);
    EXPECT_TRUE(manager->validateToken(claimed));
    EXPECT_TRUE(manager->validateToken(fresh));

    // Once only such clients are left, a stranger is refused rather than let in.
    for (int i = 0; i < 48; ++i) {
        manager->approve(QStringLiteral("flood%1").arg(119 - i));
    }
    EXPECT_EQ(test::runToEnd(manager->requestPairing("stranger", "h", "p", "")).kind, Kind::capacityExceeded);
    EXPECT_TRUE(manager->client("claimed"));
    EXPECT_TRUE(manager->client("fresh"));
}

TEST_F(PairingManagerTest, ApproveDenyRevokeAndValidation)
{
    auto manager = makeManager();
    const QString token = test::runToEnd(manager->requestPairing("c1", "h", "p", "")).client->token;
    manager->approve("c1");
    auto valid = manager->validateToken(token);
    ASSERT_TRUE(valid);
    EXPECT_EQ(valid->id, "c1");
    EXPECT_FALSE(manager->validateToken(token.left(63)));
    EXPECT_FALSE(manager->validateToken(u""));
    EXPECT_FALSE(manager->validateToken(token + "0"));

    // A repeated request keeps token and pairing time, goes pending, and the token still works.
    const auto pairedAt = manager->client("c1")->pairedAt;
    env.clock().advance(5s);
    const auto again = test::runToEnd(manager->requestPairing("c1", "h", "p", ""));
    EXPECT_EQ(again.client->token, token);
    EXPECT_EQ(again.client->pairedAt, pairedAt);
    EXPECT_EQ(again.client->status, PairingStatus::pending);
    EXPECT_TRUE(manager->validateToken(token));

    manager->deny("c1");
    EXPECT_FALSE(manager->validateToken(token));
    EXPECT_EQ(manager->client("c1")->status, PairingStatus::denied);
    EXPECT_EQ(manager->client("c1")->token, token); // record and keychain item stay

    manager->revoke("c1");
    EXPECT_FALSE(manager->client("c1"));
    EXPECT_EQ(tokenOf("c1"), "");

    // Revoking an unknown id still saves the (unchanged) table.
    env.defaults().removeObject("pairedClients");
    manager->revoke("ghost");
    EXPECT_TRUE(storedTable().is_array());

    // Unknown ids change nothing.
    manager->approve("ghost");
    manager->updateLastSeen("ghost");
    EXPECT_TRUE(manager->clients().empty());
}

TEST_F(PairingManagerTest, UnclaimedApprovalExpiresAfterSixHundredSeconds)
{
    auto manager = makeManager();
    const QString token = test::runToEnd(manager->requestPairing("c1", "h", "p", "")).client->token;
    manager->approve("c1");
    env.clock().advance(600s);
    test::runToEnd(manager->requestPairing("other", "h", "p", ""));
    EXPECT_EQ(manager->client("c1")->status, PairingStatus::approved);
    env.clock().advance(1s);
    test::runToEnd(manager->requestPairing("third", "h", "p", ""));
    EXPECT_EQ(manager->client("c1")->status, PairingStatus::pending);
    EXPECT_FALSE(manager->validateToken(token));

    // A claimed token never expires.
    manager->approve("other");
    manager->markTokenClaimed("other");
    const auto claimedAt = manager->client("other")->tokenClaimedAt;
    ASSERT_TRUE(claimedAt);
    env.clock().advance(3600s);
    manager->markTokenClaimed("other");
    EXPECT_EQ(manager->client("other")->tokenClaimedAt, claimedAt);
    EXPECT_EQ(manager->sweepUnclaimedApprovals(), 0);
    EXPECT_EQ(manager->client("other")->status, PairingStatus::approved);
}

TEST_F(PairingManagerTest, LastSeenCountsAtOnceAndIsWrittenBehindAtMostOnceASecond)
{
    auto manager = makeManager();
    test::runToEnd(manager->requestPairing("c1", "h", "p", ""));
    const auto storedLastSeen = [&] { return storedTable()[0]["lastSeen"].get<double>(); };
    const double registered = storedLastSeen();
    env.clock().advance(120s);
    EXPECT_FALSE(manager->client("c1")->isConnected(env.clock().wallNow()));

    // A burst of authenticated requests: in memory at once, on disk once, a second later.
    for (int i = 0; i < 20; ++i) {
        manager->updateLastSeen("c1");
        env.clock().advance(10ms);
    }
    EXPECT_TRUE(manager->client("c1")->isConnected(env.clock().wallNow()));
    EXPECT_EQ(storedLastSeen(), registered);
    env.clock().advance(800ms);
    EXPECT_DOUBLE_EQ(storedLastSeen(), registered + 120.19) << "the newest time, a second after the first";
    env.clock().advance(60s);
    EXPECT_FALSE(manager->client("c1")->isConnected(env.clock().wallNow()));

    // Any other save of the table carries the newest time along and ends the wait.
    manager->updateLastSeen("c1");
    const double seen = registered + 181.0;
    test::runToEnd(manager->requestPairing("c2", "h", "p", ""));
    EXPECT_DOUBLE_EQ(storedLastSeen(), seen);
    env.defaults().removeObject("pairedClients");
    env.clock().advance(2s);
    EXPECT_TRUE(storedTable().is_null()) << "no second write for the same time";

    // At quit, a time still in memory is written; without one nothing is.
    manager->flushPendingSave();
    EXPECT_TRUE(storedTable().is_null());
    manager->updateLastSeen("c1");
    manager->flushPendingSave();
    EXPECT_DOUBLE_EQ(storedLastSeen(), seen + 2.0);
}

TEST_F(PairingManagerTest, LastSeenTimesGoOutOnTheirOwnSignalAndTableChangesOnTheOther)
{
    auto manager = makeManager();
    test::runToEnd(manager->requestPairing("c1", "h", "p", ""));
    manager->approve("c1");
    int tableChanges = 0;
    int lastSeenChanges = 0;
    QObject::connect(manager.get(), &PairingManager::clientsChanged, [&] { ++tableChanges; });
    QObject::connect(manager.get(), &PairingManager::lastSeenChanged, [&] { ++lastSeenChanges; });

    // Written behind, the table is the same: only the last-seen signal tells of it.
    for (int i = 0; i < 3; ++i) {
        manager->updateLastSeen("c1");
    }
    env.clock().advance(2s);
    EXPECT_EQ(lastSeenChanges, 3);
    EXPECT_EQ(tableChanges, 0);

    manager->updateLastSeen("c1");
    manager->deny("c1");
    EXPECT_EQ(tableChanges, 1) << "a table change is announced at once";
    manager->updateLastSeen("unknown");
    EXPECT_EQ(lastSeenChanges, 4);
}

TEST_F(PairingManagerTest, RestartRebuildsTheTokenIndexFromTableAndKeychain)
{
    QString token1;
    {
        auto manager = makeManager();
        token1 = test::runToEnd(manager->requestPairing("c1", "h", "p", "")).client->token;
        test::runToEnd(manager->requestPairing("c2", "h", "p", ""));
        manager->approve("c1");
        manager->markTokenClaimed("c1");
    }
    auto restarted = makeManager();
    ASSERT_EQ(restarted->clients().size(), 2u);
    EXPECT_EQ(restarted->clients()[0].token, ""); // tokens are never read back from the table
    EXPECT_FALSE(restarted->validateToken(token1)); // the index is empty until warmed
    test::runToEnd(restarted->warmTokenCache());
    EXPECT_EQ(restarted->validateToken(token1)->id, "c1");

    // An approved client whose keychain item can't be read at the start is left out of the index,
    // and its token is not taken for gone.
    env.keychain().failReads = true;
    auto unreadable = makeManager();
    test::runToEnd(unreadable->warmTokenCache());
    EXPECT_FALSE(unreadable->validateToken(token1));
    EXPECT_EQ(unreadable->client("c1")->token, "");
    EXPECT_EQ(test::runToEnd(unreadable->requestPairing("c1", "h", "p", "")).client->token, "");
    env.keychain().failReads = false;
    EXPECT_EQ(tokenOf("c1"), token1);
}

TEST_F(PairingManagerTest, DamagedRecordSurvivesASave)
{
    nlohmann::ordered_json table = nlohmann::ordered_json::array();
    table.push_back({{"id", "good"}, {"hostname", "h"}, {"platform", "p"}, {"pairedAt", 10.5},
                     {"lastSeen", 11.0}, {"status", "approved"}, {"tokenClaimedAt", nullptr}});
    table.push_back({{"id", "bad"}, {"hostname", "h"}, {"status", "forgotten"}});
    env.defaults().setObject("pairedClients", QByteArray::fromStdString(table.dump()));

    auto manager = makeManager();
    ASSERT_EQ(manager->clients().size(), 1u);
    EXPECT_EQ(manager->clients()[0].id, "good");
    EXPECT_FALSE(manager->clients()[0].tokenClaimedAt);
    EXPECT_TRUE(env.log().contains("could not be read"));

    manager->updateLastSeen("good");
    manager->flushPendingSave();
    const auto stored = storedTable();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1], table[1]);

}

TEST_F(PairingManagerTest, StoredTableThatIsNotAListIsKeptUntilTheUserClearsThePairings)
{
    for (const QVariant &stored : {QVariant(QByteArray("not json")), QVariant(QByteArray("{\"id\":\"c1\"}")),
                                   QVariant(QStringLiteral("[]"))}) {
        env.defaults().setObject("pairedClients", stored);
        auto manager = makeManager();
        EXPECT_TRUE(manager->clients().empty());
        EXPECT_EQ(test::runToEnd(manager->requestPairing("c2", "h", "p", "")).kind, Kind::accepted);
        manager->approve("c2");
        EXPECT_EQ(env.defaults().object("pairedClients"), stored);
        EXPECT_EQ(env.log().messages().filter("are not a list").size(), 1);
        env.log().entries.clear();

        manager->clearAll();
        EXPECT_EQ(storedTable(), nlohmann::ordered_json::array());
    }
}

TEST_F(PairingManagerTest, StartUpRemovesTokensNoStoredClientOwnsOnlyWhenTheTableWasReadWhole)
{
    QByteArray table;
    {
        auto manager = makeManager();
        test::runToEnd(manager->requestPairing("c1", "h", "p", ""));
        table = *env.defaults().dataForKey("pairedClients");
    }
    // The token of a client whose record never reached the table.
    env.keychain().add(HelperKeychainStorage::kService, "lost", "f00d");
    const auto tokenOwners = [&] { return env.keychain().items(HelperKeychainStorage::kService).keys(); };

    // Nothing is swept while any part of the table is kept unread.
    auto withDamagedRecord = nlohmann::ordered_json::parse(table.toStdString());
    withDamagedRecord.push_back({{"id", "lost"}, {"status", "forgotten"}});
    const QString aside = env.platform().preferencesFile(env.defaults().domain()) + ".corrupt";
    const std::vector<std::function<void()>> unreadParts = {
        [&] { env.defaults().setObject("pairedClients", QByteArray::fromStdString(withDamagedRecord.dump())); },
        [&] { env.defaults().setObject("pairedClients", QStringLiteral("oops")); },
        [&] {
            env.defaults().setObject("pairedClients", table);
            ASSERT_TRUE(test::writeFile(aside, "<plist>"));
        },
    };
    for (const auto &damage : unreadParts) {
        damage();
        makeManager()->warmTokenCache();
        EXPECT_EQ(tokenOwners(), (QStringList{"c1", "lost"}));
    }

    QFile::remove(aside);
    makeManager()->warmTokenCache();
    EXPECT_EQ(tokenOwners(), QStringList{"c1"});
    EXPECT_TRUE(env.log().contains("Removed 1 pairing token(s) that no stored client owns"));
}

TEST_F(PairingManagerTest, ClearAllAndApproveAllPending)
{
    auto manager = makeManager();
    test::runToEnd(manager->requestPairing("a", "h", "p", "1.1.1.1"));
    test::runToEnd(manager->requestPairing("b", "h", "p", "2.2.2.2"));
    manager->deny("b");
    manager->approveAllPending();
    EXPECT_EQ(manager->client("a")->status, PairingStatus::approved);
    EXPECT_EQ(manager->client("b")->status, PairingStatus::denied);
    EXPECT_TRUE(manager->validateToken(manager->client("a")->token));

    manager->clearAll();
    EXPECT_TRUE(manager->clients().empty());
    EXPECT_EQ(storedTable(), nlohmann::ordered_json::array());
    EXPECT_TRUE(env.keychain().items(HelperKeychainStorage::kService).isEmpty());
    // Per-host request times survive.
    EXPECT_EQ(test::runToEnd(manager->requestPairing("c", "h", "p", "1.1.1.1")).kind, Kind::rateLimited);
}

// Everything a change may touch: the stored table, the table in memory, the tokens and which of
// them open the API.
struct PairingState {
    QVariant stored;
    nlohmann::ordered_json table;
    QMap<QString, QByteArray> tokens;
    QStringList validating;

    static PairingState of(const PairingManager &manager, test::RefusingDefaults &defaults, test::MemoryKeychain &keychain)
    {
        PairingState state{defaults.object("pairedClients"), nlohmann::ordered_json::array(),
                           keychain.items(HelperKeychainStorage::kService), {}};
        for (const auto &client : manager.clients()) {
            state.table.push_back(client);
        }
        for (const QByteArray &token : state.tokens) {
            if (const auto client = manager.validateToken(QString::fromUtf8(token))) {
                state.validating << client->id;
            }
        }
        return state;
    }
    bool operator==(const PairingState &) const = default;
};

TEST(PairingSaveFailure, AChangeThatCannotBeSavedLeavesTableIndexAndTokensAsTheyWere)
{
    test::TestPlatform env;
    test::RefusingDefaults defaults;
    auto manager = std::make_unique<PairingManager>(defaults, env.clock(), env.keychain(), env.attention());
    // A full table, so that a new client pushes out the denied one.
    for (std::size_t i = 0; i < PairingManager::kMaxClients - 3; ++i) {
        test::runToEnd(manager->requestPairing(QStringLiteral("filler%1").arg(i), "h", "p", ""));
    }
    manager->approveAllPending();
    test::runToEnd(manager->requestPairing("denied", "h", "p", ""));
    manager->deny("denied");
    test::runToEnd(manager->requestPairing("approved", "h", "p", ""));
    manager->approve("approved");
    test::runToEnd(manager->requestPairing("pending", "h", "p", ""));
    const PairingState before = PairingState::of(*manager, defaults, env.keychain());
    ASSERT_EQ(before.validating.size(), PairingManager::kMaxClients - 2);

    const QString noRoom = QString::fromUtf8("Could not save the paired clients \u2014 No space left on device");
    const QString noToken = QString::fromUtf8("Could not save the pairing token \u2014 the desktop's keyring is locked");
    const std::vector<std::pair<const char *, std::function<std::optional<QString>()>>> changes = {
        {"new client", [&] { return test::runToEnd(manager->requestPairing("new", "h", "p", "")).failure; }},
        {"known client", [&] { return test::runToEnd(manager->requestPairing("approved", "h2", "p", "")).failure; }},
        {"approve", [&] { return manager->approve("pending"); }},
        {"deny", [&] { return manager->deny("approved"); }},
        {"revoke", [&] { return manager->revoke("approved"); }},
        {"approve all", [&] { return manager->approveAllPending(); }},
        {"claim", [&] { return manager->markTokenClaimed("approved"); }},
        {"clear", [&] { return manager->clearAll(); }},
    };
    for (const auto &[name, change] : changes) {
        defaults.refusal = "No space left on device";
        EXPECT_EQ(change(), noRoom) << name;
        EXPECT_EQ(PairingState::of(*manager, defaults, env.keychain()), before) << name;
        defaults.refusal.reset();
    }
    env.keychain().failWrites = true;
    const auto refused = test::runToEnd(manager->requestPairing("new", "h", "p", ""));
    EXPECT_EQ(refused.kind, Kind::notSaved);
    EXPECT_EQ(refused.failure, noToken);
    EXPECT_EQ(PairingState::of(*manager, defaults, env.keychain()), before);
    env.keychain().failWrites = false;
    EXPECT_EQ(env.attention().requests.size(), PairingManager::kMaxClients) << "only saved requests ask for attention";

    // The next start reads the same table and tokens.
    manager = std::make_unique<PairingManager>(defaults, env.clock(), env.keychain(), env.attention());
    test::runToEnd(manager->warmTokenCache());
    EXPECT_EQ(PairingState::of(*manager, defaults, env.keychain()), before);

    // Once there is room, the refused client asks again and gets a token that works.
    const auto accepted = test::runToEnd(manager->requestPairing("new", "h", "p", ""));
    ASSERT_EQ(accepted.kind, Kind::accepted);
    EXPECT_FALSE(manager->client("denied"));
    EXPECT_FALSE(env.keychain().items(HelperKeychainStorage::kService).contains("denied"));
    ASSERT_EQ(manager->approve("new"), std::nullopt);
    EXPECT_EQ(manager->validateToken(accepted.client->token)->id, "new");

    // A token handed out before is on record: handing it out again needs no write.
    ASSERT_EQ(manager->markTokenClaimed("new"), std::nullopt);
    const QVariant claimed = defaults.object("pairedClients");
    defaults.refusal = "No space left on device";
    env.clock().advance(std::chrono::seconds(5));
    EXPECT_EQ(manager->markTokenClaimed("new"), std::nullopt);
    EXPECT_EQ(defaults.object("pairedClients"), claimed);
    EXPECT_EQ(manager->client("new")->lastSeen, env.clock().wallNow());
}

TEST_F(PairingManagerTest, AKnownClientWhoseTokenIsGoneGetsANewOneWhenItAsksAgain)
{
    auto manager = makeManager();
    const QString first = test::runToEnd(manager->requestPairing("c1", "h", "p", "")).client->token;
    // A locked keychain is no missing token: what it holds stays.
    env.keychain().failReads = true;
    EXPECT_EQ(test::runToEnd(manager->requestPairing("c1", "h", "p", "")).kind, Kind::accepted);
    env.keychain().failReads = false;
    EXPECT_EQ(tokenOf("c1"), first);

    // Lost between two runs.
    env.keychain().remove(HelperKeychainStorage::kService, "c1");
    manager = makeManager();
    test::runToEnd(manager->warmTokenCache());
    const auto again = test::runToEnd(manager->requestPairing("c1", "h", "p", ""));
    ASSERT_EQ(again.kind, Kind::accepted);
    EXPECT_NE(again.client->token, first);
    EXPECT_EQ(tokenOf("c1"), again.client->token);
    manager->approve("c1");
    EXPECT_EQ(manager->validateToken(again.client->token)->id, "c1");
}

TEST(PairedClientJson, KeyOrderOptionalClaimAndStatus)
{
    PairedClient client;
    client.id = "id1";
    client.hostname = "host";
    client.platform = "linux";
    client.token = "secret";
    client.pairedAt = fromReferenceSeconds(100.25);
    client.lastSeen = fromReferenceSeconds(200.5);
    client.status = PairingStatus::approved;
    nlohmann::ordered_json json = client;
    EXPECT_EQ(json.dump(), R"({"id":"id1","hostname":"host","platform":"linux","pairedAt":100.25,"lastSeen":200.5,"status":"approved"})");

    auto back = json.get<PairedClient>();
    EXPECT_EQ(back.token, "");
    EXPECT_FALSE(back.tokenClaimedAt);
    EXPECT_EQ(back.pairedAt, client.pairedAt);

    client.tokenClaimedAt = fromReferenceSeconds(300);
    json = client;
    EXPECT_EQ(json.back(), 300.0);

    // Dates far outside the clock's range are held at its edge rather than overflowing.
    json["lastSeen"] = 1e300;
    EXPECT_GT(json.get<PairedClient>().lastSeen, fromReferenceSeconds(8.0e9));
    json["lastSeen"] = -1e300;
    EXPECT_LT(json.get<PairedClient>().lastSeen, fromReferenceSeconds(-8.0e9));
    json["lastSeen"] = 200.5;

    json["status"] = "Approved";
    EXPECT_THROW(json.get<PairedClient>(), nlohmann::json::exception);
    json["status"] = "approved";
    json.erase("hostname");
    EXPECT_THROW(json.get<PairedClient>(), nlohmann::json::exception);
}

TEST(PairingTokens, ConstantTimeEquality)
{
    EXPECT_TRUE(PairingManager::constantTimeEquals("", ""));
    EXPECT_TRUE(PairingManager::constantTimeEquals("abc", "abc"));
    EXPECT_FALSE(PairingManager::constantTimeEquals("abc", "abd"));
    EXPECT_FALSE(PairingManager::constantTimeEquals("ab", "abc"));
    EXPECT_FALSE(PairingManager::constantTimeEquals(QByteArray("ab\0", 3), "ab"));
    EXPECT_NE(PairingManager::generateToken(), PairingManager::generateToken());
}

TEST(HelperKeychainStorage, StoreReplacesAndFailuresAreLogged)
{
    test::TestPlatform env;
    HelperKeychainStorage tokens(env.keychain());
    const auto store = [&](const QString &token, const QString &clientId) {
        return test::runToEnd(tokens.storeToken(token, clientId));
    };
    store("first", "c1");
    store("second", "c1");
    EXPECT_EQ(env.keychain().items(HelperKeychainStorage::kService), (QMap<QString, QByteArray>{{"c1", "second"}}));
    EXPECT_TRUE(env.log().entries.empty());

    // Room for the token there is, not for a longer one.
    env.keychain().room = 6;
    EXPECT_EQ(store("longer", "c1"), std::nullopt);
    EXPECT_EQ(store("longest", "c1"), "the private token file could not be read or written");
    EXPECT_EQ(env.keychain().items(HelperKeychainStorage::kService).value("c1"), "longer") << "a failed save keeps the old";
    env.keychain().room.reset();
    env.log().entries.clear();

    env.keychain().failWrites = true;
    store("third", "c2");
    ASSERT_EQ(env.log().entries.size(), 1u);
    EXPECT_EQ(env.log().entries[0].message, "Failed to save pairing token for c2: OSStatus -25308");
    EXPECT_EQ(env.log().entries[0].subsystem, "com.kelvo.cordavelle-helper");
    EXPECT_EQ(env.log().entries[0].category, "Keychain");
}

} // namespace
} // namespace cordavelle
