#include "api/helper_keychain_storage.h"
#include "platform/keychain.h"

#include "support/keyring_on_private_bus.h"
#include "support/private_session_bus.h"
#include "support/task_outcome.h"
#include "support/test_platform.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

// Stores and reads pairing tokens through a real Secret Service (gnome-keyring on a private bus).
TEST(SecretServiceKeychain, TokensThroughARealSecretService)
{
    test::TestPlatform env;
    env.useSystemClock();
    test::KeyringOnPrivateBus keyring(env);
    if (keyring.whyNot()) {
        GTEST_SKIP() << keyring.whyNot();
    }
    QString why;
    ASSERT_TRUE(SecretServiceKeychain::isAvailable(&why)) << why.toStdString();

    // The production keychain picks the Secret Service and writes no fallback file.
    const QString fallback = env.root() + "/fallback.json";
    env.platform().setKeychain(std::make_shared<LinuxKeychain>(fallback, env.platform().clock()));
    test::runToEnd(env.platform().keychain().settle());
    HelperKeychainStorage tokens(env.platform().keychain());

    for (const auto &[token, client] : {std::pair{"first-token", "client-a"}, {"second-token", "client-a"},
                                        {"b-token", "client-b"}}) {
        EXPECT_EQ(test::runToEnd(tokens.storeToken(token, client)), std::nullopt);
    }
    const auto read = test::runToEnd(tokens.readAllTokens());
    EXPECT_EQ(read.tokens, (std::map<QString, QString>{{"client-a", "second-token"}, {"client-b", "b-token"}}));

    // A second connection sees the same items, so they really live in the service.
    SecretServiceKeychain direct;
    int count = 0;
    EXPECT_EQ(direct.count(HelperKeychainStorage::kService, &count), Keychain::kSuccess);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(direct.add(HelperKeychainStorage::kService, "client-b", "x"), Keychain::kDuplicateItem);

    test::runToEnd(tokens.removeTokens({"client-a"}));
    EXPECT_EQ(direct.count(HelperKeychainStorage::kService, &count), Keychain::kSuccess);
    EXPECT_EQ(count, 1);
    test::runToEnd(tokens.removeTokens({}, true));
    EXPECT_EQ(direct.count(HelperKeychainStorage::kService, &count), Keychain::kItemNotFound);
    EXPECT_EQ(test::runToEnd(tokens.readAllTokens()).tokens, (std::map<QString, QString>{}));
    EXPECT_FALSE(QFile::exists(fallback));

    // A collection locked meanwhile refuses at once, saying so: nothing waits on an unlock prompt.
    ASSERT_EQ(direct.add(HelperKeychainStorage::kService, "client-c", "c-token"), Keychain::kSuccess);
    ASSERT_EQ(QProcess::execute("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.secrets",
                                              "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.Lock",
                                              "array:objpath:/org/freedesktop/secrets/collection/login"}),
              0);
    ASSERT_EQ(keyring.loginLocked(), true);
    EXPECT_EQ(direct.read(HelperKeychainStorage::kService, "client-c", nullptr), Keychain::kLocked);
    EXPECT_EQ(direct.add(HelperKeychainStorage::kService, "client-d", "d-token"), Keychain::kLocked);
}

// Without any Secret Service the tokens go to a 0600 file, with a warning.
TEST(SecretServiceKeychain, FallsBackToAPrivateFile)
{
    test::TestPlatform env;
    env.useSystemClock();
    // A bus with nothing on it, which can start nothing: a keyring installed here would answer.
    test::PrivateSessionBus bus(test::PrivateSessionBus::Services::none);
    if (bus.address().isEmpty()) {
        GTEST_SKIP() << "dbus-daemon could not start a session bus";
    }
    bus.exportToEnvironment();
    const QString fallback = env.root() + "/support/keychain.json";
    env.platform().setKeychain(std::make_shared<LinuxKeychain>(fallback, env.platform().clock()));
    test::runToEnd(env.platform().keychain().settle());
    HelperKeychainStorage tokens(env.platform().keychain());

    EXPECT_EQ(test::runToEnd(tokens.storeToken("file-token", "client-a")), std::nullopt);
    EXPECT_EQ(test::runToEnd(tokens.readAllTokens()).tokens, (std::map<QString, QString>{{"client-a", "file-token"}}));
    EXPECT_TRUE(QFile::exists(fallback));
    EXPECT_EQ(QFile::permissions(fallback) & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0);
    EXPECT_TRUE(env.log().contains("No Secret Service answered"));
}

} // namespace
} // namespace cordavelle
