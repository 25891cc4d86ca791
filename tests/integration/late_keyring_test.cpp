#include "api/api_router.h"
#include "api/helper_keychain_storage.h"
#include "api/http_server.h"
#include "api/pairing_manager.h"
#include "core/config_store.h"
#include "core/experimental_features.h"
#include "core/wine_prefix_hold.h"
#include "install/helper_uninstaller.h"
#include "platform/clock.h"
#include "platform/keychain.h"

#include "support/event_wait.h"
#include "support/fake_login_item.h"
#include "support/keyring_on_private_bus.h"
#include "support/no_services.h"
#include "support/recording_app_activation.h"
#include "support/recording_service_control.h"
#include "support/task_outcome.h"
#include "support/test_platform.h"
#include "support/wire_client.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstdlib>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

// One run of the helper's pairing over the production keychain, serving the API.
struct HelperRun {
    HelperRun(test::TestPlatform &env, ConfigStore &config, const QString &fallback)
        : keychain(fallback, clock), pairing(env.defaults(), clock, keychain, env.attention()),
          api(clock, env.platform().peerOwners())
    {
        pairing.warmTokenCacheWhenSettled();
        started = test::startOnFreePort(api, APIRouter::handler(services, config, pairing, clock, env.defaults(),
                                                                env.notifications()));
    }

    test::WireReply call(const QByteArray &request, std::chrono::milliseconds limit = 10s)
    {
        test::WireClient client;
        if (!client.connectTo(api.port())) {
            return {};
        }
        client.send(request);
        if (!client.waitForClose(limit)) {
            ADD_FAILURE() << "the helper did not answer within " << limit.count() << " ms: " << request.toStdString();
        }
        return client.reply();
    }
    test::WireReply withToken(const QString &token)
    {
        return call("GET /services HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer " + token.toUtf8() + "\r\n\r\n");
    }
    test::WireReply pair(const QByteArray &clientId)
    {
        const QByteArray body = R"({"clientId":")" + clientId + R"(","hostname":"h","platform":"p"})";
        return call("POST /pair/request HTTP/1.1\r\nHost: localhost\r\nContent-Length: "
                    + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    }

    SystemClock clock;
    LinuxKeychain keychain;
    PairingManager pairing;
    test::NoServices services;
    HTTPServer api;
    bool started = false;
};

class LateKeyring : public ::testing::Test {
protected:
    test::TestPlatform env;
    test::KeyringOnPrivateBus keyring{env};
    test::FakeLoginItem loginItem;
    test::RecordingAppActivation activation;
    ConfigStore config{env.defaults(), env.platform(), loginItem, activation};
    const QString fallback = env.root() + "/support/keychain.json";

    // The token of an approved client, paired in `run`.
    QString pairApproved(HelperRun &run, const QByteArray &clientId)
    {
        EXPECT_EQ(run.pair(clientId).statusCode, 200);
        EXPECT_EQ(run.pairing.approve(clientId), std::nullopt);
        const test::WireReply status = run.call("GET /pair/status/" + clientId + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
        EXPECT_EQ(status.statusCode, 200) << status.body.toStdString();
        return QString::fromStdString(nlohmann::json::parse(status.body.toStdString(), nullptr, false).value("token", ""));
    }
    // The clients whose token the file holds.
    QStringList inFile()
    {
        QStringList owners;
        FileKeychain(fallback).accounts(HelperKeychainStorage::kService, &owners);
        return owners;
    }
};

TEST_F(LateKeyring, AKeyringThatAnswersLateCostsNoPairing)
{
    if (keyring.whyNot()) {
        GTEST_SKIP() << keyring.whyNot();
    }
    ASSERT_TRUE(config.requirePairing());
    QString before;
    {
        HelperRun first(env, config, fallback);
        ASSERT_TRUE(first.started);
        before = pairApproved(first, "before");
        ASSERT_EQ(before.size(), 64);
    }
    EXPECT_TRUE(inFile().isEmpty());

    // At login the keyring starts beside the helper and answers after 4 s.
    keyring.stop();
    QElapsedTimer sinceLaunch;
    sinceLaunch.start();
    QString during;
    {
        HelperRun second(env, config, fallback);
        ASSERT_TRUE(second.started);
        // The file stands in after 3 s; the token kept in the keyring can't be told valid or not.
        const test::WireReply waiting = second.withToken(before);
        EXPECT_GE(sinceLaunch.elapsed(), 2900);
        EXPECT_EQ(waiting.statusCode, 503) << waiting.body.toStdString();
        EXPECT_TRUE(waiting.headerLines.contains("Retry-After: 5"));
        EXPECT_TRUE(waiting.body.contains("keyring is not answering"));
        EXPECT_EQ(second.withToken(QString(64, 'f')).statusCode, 503);
        // A client paired meanwhile is served from the file.
        during = pairApproved(second, "during");
        ASSERT_EQ(during.size(), 64);
        EXPECT_EQ(second.withToken(during).statusCode, 200);
        EXPECT_EQ(inFile(), QStringList{"during"});

        ASSERT_TRUE(test::processEventsUntil([&] { return sinceLaunch.elapsed() > 4000; }, 5s));
        keyring.resume();
        ASSERT_TRUE(test::processEventsUntil([&] { return second.withToken(before).statusCode == 200; }, 15s));
        EXPECT_EQ(second.withToken(during).statusCode, 200);
        EXPECT_EQ(second.withToken(QString(64, 'f')).statusCode, 401);
        EXPECT_TRUE(inFile().isEmpty());
        EXPECT_EQ(env.log().messages().filter("is not answering: a request whose token may be in it").size(), 1);
    }

    // The next launch, with the keyring answering, knows both.
    HelperRun third(env, config, fallback);
    EXPECT_EQ(third.withToken(during).statusCode, 200);
    EXPECT_EQ(third.withToken(before).statusCode, 200);
    EXPECT_TRUE(inFile().isEmpty());
    QByteArray stored;
    EXPECT_EQ(SecretServiceKeychain().read(HelperKeychainStorage::kService, "during", &stored), Keychain::kSuccess);
    EXPECT_EQ(stored, during.toUtf8());
}

TEST_F(LateKeyring, AClientWhoseTokenOnlyASilentKeyringHoldsIsLetInAgainOnceApproved)
{
    if (keyring.whyNot()) {
        GTEST_SKIP() << keyring.whyNot();
    }
    QString before;
    {
        HelperRun first(env, config, fallback);
        ASSERT_TRUE(first.started);
        before = pairApproved(first, "c1");
        ASSERT_EQ(before.size(), 64);
    }

    // The keyring never answers during this run: the client asks to pair again, as the 503 says.
    keyring.stop();
    QString again;
    {
        HelperRun silent(env, config, fallback);
        ASSERT_TRUE(silent.started);
        const test::WireReply waiting = silent.withToken(before);
        EXPECT_EQ(waiting.statusCode, 503);
        EXPECT_TRUE(waiting.body.contains("or pair again")) << waiting.body.toStdString();
        again = pairApproved(silent, "c1");
        ASSERT_EQ(again.size(), 64);
        EXPECT_NE(again, before);
        EXPECT_EQ(silent.withToken(again).statusCode, 200);
        EXPECT_EQ(silent.withToken(before).statusCode, 401);
        EXPECT_EQ(inFile(), QStringList{"c1"});
    }

    // Once the keyring answers, the new token has replaced the one it held.
    keyring.resume();
    HelperRun answering(env, config, fallback);
    EXPECT_EQ(answering.withToken(again).statusCode, 200);
    EXPECT_EQ(answering.withToken(before).statusCode, 401);
    EXPECT_TRUE(inFile().isEmpty());
}

TEST_F(LateKeyring, AResetWhileTheKeyringIsSilentSaysSoAndNoTokenOfItOpensTheAPIAgain)
{
    if (keyring.whyNot()) {
        GTEST_SKIP() << keyring.whyNot();
    }
    QString before;
    {
        HelperRun first(env, config, fallback);
        ASSERT_TRUE(first.started);
        before = pairApproved(first, "c1");
        ASSERT_EQ(before.size(), 64);
    }

    keyring.stop();
    {
        HelperRun silent(env, config, fallback);
        ASSERT_TRUE(silent.started);
        ASSERT_EQ(silent.withToken(before).statusCode, 503);
        ExperimentalFeatureManager experimental(env.defaults());
        test::RecordingServiceControl services;
        WinePrefixHold prefixHold;
        HelperUninstaller uninstaller({config, experimental, services, env.defaults(), silent.keychain, loginItem,
                                       env.platform().commandRunner(), [&] { silent.pairing.forgetAll(); }, prefixHold,
                                       silent.clock, {}});
        const ResetReport report = test::runToEnd(uninstaller.resetSettings());
        EXPECT_EQ(report.errors, QStringList{HelperUninstaller::kKeyringTokensKept});
        EXPECT_EQ(silent.withToken(before).statusCode, 401);
    }

    // The next launch at which the keyring answers removes the token no paired client owns.
    keyring.resume();
    HelperRun answering(env, config, fallback);
    EXPECT_EQ(answering.withToken(before).statusCode, 401);
    QStringList owners;
    EXPECT_TRUE(test::processEventsUntil(
        [&] { return SecretServiceKeychain().accounts(HelperKeychainStorage::kService, &owners) == Keychain::kItemNotFound; },
        5s))
        << owners.join(", ").toStdString();
}

TEST_F(LateKeyring, AKeyringThatStopsAnsweringHoldsNothingAndLosesNothing)
{
    if (keyring.whyNot()) {
        GTEST_SKIP() << keyring.whyNot();
    }
    HelperRun run(env, config, fallback);
    ASSERT_TRUE(run.started);
    const QString token = pairApproved(run, "c1");
    ASSERT_EQ(token.size(), 64);
    const auto clientsBefore = run.pairing.clients();

    // Past the rate limit of new clients from one host.
    QElapsedTimer sincePaired;
    sincePaired.start();
    ASSERT_TRUE(test::processEventsUntil([&] { return sincePaired.elapsed() > 1100; }, 2s));
    keyring.stop();
    // A new client's request waits for the keyring, but nothing else does.
    test::WireClient request;
    ASSERT_TRUE(request.connectTo(run.api.port()));
    QElapsedTimer sinceAsked;
    sinceAsked.start();
    const QByteArray body = R"({"clientId":"c2","hostname":"h","platform":"p"})";
    request.send("POST /pair/request HTTP/1.1\r\nHost: localhost\r\nContent-Length: " + QByteArray::number(body.size())
                 + "\r\n\r\n" + body);
    ASSERT_TRUE(test::processEventsUntil([&] { return sinceAsked.elapsed() > 200; }, 1s));
    for (const QByteArray &other : {QByteArray("GET /status HTTP/1.1\r\nHost: localhost\r\n\r\n"),
                                    "GET /services HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer "
                                        + token.toUtf8() + "\r\n\r\n"}) {
        QElapsedTimer answeredIn;
        answeredIn.start();
        EXPECT_EQ(run.call(other).statusCode, 200);
        EXPECT_LT(answeredIn.elapsed(), 100);
    }
    EXPECT_TRUE(request.isOpen());
    ASSERT_TRUE(request.waitForClose(LinuxKeychain::kCallTimeLimit + 2s));
    EXPECT_LT(sinceAsked.elapsed(), (LinuxKeychain::kCallTimeLimit + 1s).count());
    EXPECT_EQ(request.reply().statusCode, 500);
    EXPECT_TRUE(request.reply().body.contains("keyring is not answering")) << request.reply().body.toStdString();

    // Nothing changed: the table, the token that works, and the keyring's items.
    EXPECT_EQ(run.pairing.clients().size(), clientsBefore.size());
    EXPECT_EQ(run.withToken(token).statusCode, 200);
    keyring.resume();
    QStringList owners;
    EXPECT_EQ(SecretServiceKeychain().accounts(HelperKeychainStorage::kService, &owners), Keychain::kSuccess);
    EXPECT_EQ(owners, QStringList{"c1"});
    EXPECT_TRUE(inFile().isEmpty());
}

// Tokens kept in the file while the keyring was silent, moved into it once it answers by a move
// that the keyring fails part-way.
class MoveIntoTheKeyring : public LateKeyring {
protected:
    static constexpr int kItems = 150;
    static QString owner(int i) { return QStringLiteral("c%1").arg(i); }
    static QByteArray token(int i) { return QByteArray::number(i).repeated(8); }

    void fillFile()
    {
        FileKeychain file(fallback);
        for (int i = 0; i < kItems; ++i) {
            ASSERT_EQ(file.add(HelperKeychainStorage::kService, owner(i), token(i)), Keychain::kSuccess);
        }
    }
    // Read as the move leaves it, without touching its temporary files.
    int countInFile()
    {
        QFile file(fallback);
        if (!file.open(QIODevice::ReadOnly)) {
            return -1;
        }
        return int(QJsonDocument::fromJson(file.readAll()).object().value(HelperKeychainStorage::kService).toObject().size());
    }
    bool run(LinuxKeychain &keychain, std::function<void(Keychain &)> operation)
    {
        std::optional<bool> ended;
        auto outcome = test::track(
            [](LinuxKeychain &k, std::function<void(Keychain &)> op, std::optional<bool> &out) -> QCoro::Task<void> {
                out = co_await k.run(std::move(op));
            }(keychain, std::move(operation), ended));
        return test::processEventsUntil([&] { return outcome->done; }, 15s) && ended == true;
    }
    bool tookOver(LinuxKeychain &keychain)
    {
        auto outcome = test::track(keychain.keyringTakenOver({}));
        return test::processEventsUntil([&] { return outcome->done; }, 20s);
    }
    // After the move: one token still in the file is revoked, and every other one is still found.
    void expectNothingLost(LinuxKeychain &keychain)
    {
        const QString revoked = owner(kItems - 1);
        int removed = Keychain::kTimedOut;
        ASSERT_TRUE(run(keychain, [&](Keychain &k) { removed = k.remove(HelperKeychainStorage::kService, revoked); }));
        EXPECT_EQ(removed, Keychain::kSuccess);
        std::vector<int> lost;
        int stillThere = Keychain::kTimedOut;
        ASSERT_TRUE(run(keychain, [&](Keychain &k) {
            for (int i = 0; i + 1 < kItems; ++i) {
                QByteArray data;
                if (k.read(HelperKeychainStorage::kService, owner(i), &data) != Keychain::kSuccess || data != token(i)) {
                    lost.push_back(i);
                }
            }
            stillThere = k.read(HelperKeychainStorage::kService, revoked, nullptr);
        }));
        EXPECT_EQ(lost, std::vector<int>{});
        EXPECT_EQ(stillThere, Keychain::kItemNotFound);
        EXPECT_TRUE(env.log().contains("Not every secret could be moved"));
    }

    SystemClock clock;
};

TEST_F(MoveIntoTheKeyring, ARefusedItemStaysInTheFile)
{
    if (keyring.whyNot()) {
        GTEST_SKIP() << keyring.whyNot();
    }
    fillFile();
    // The keyring says yes, then its collection is locked: it refuses every item of the move.
    LinuxKeychain keychain(fallback, clock, [](SecretServiceKeychain &k, QString *why) {
        const bool usable = k.isUsable(why);
        if (usable) {
            std::system("dbus-send --session --print-reply --dest=org.freedesktop.secrets /org/freedesktop/secrets "
                        "org.freedesktop.Secret.Service.Lock array:objpath:/org/freedesktop/secrets/collection/login "
                        ">/dev/null");
        }
        return usable;
    });
    test::track(keychain.settle());
    ASSERT_TRUE(tookOver(keychain));
    EXPECT_EQ(countInFile(), kItems);
    expectNothingLost(keychain);
}

TEST_F(MoveIntoTheKeyring, AMoveGivenUpOnWhenTheKeyringStopsLeavesTheFileToTheNextChange)
{
    if (keyring.whyNot()) {
        GTEST_SKIP() << keyring.whyNot();
    }
    fillFile();
    LinuxKeychain keychain(fallback, clock);
    test::track(keychain.settle());
    ASSERT_TRUE(test::processEventsUntil([&] { return countInFile() < kItems; }, 10s));
    keyring.stop();
    ASSERT_TRUE(tookOver(keychain));
    keyring.resume();
    EXPECT_GT(countInFile(), 0);
    expectNothingLost(keychain);
}

} // namespace
} // namespace cordavelle
