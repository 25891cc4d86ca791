#include "platform/keychain.h"

#include "support/small_disk.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(FileKeychain, StoresItemsPrivatelyWithStatusCodes)
{
    test::TestPlatform env;
    const QString path = env.root() + "/support/keychain.json";
    FileKeychain keychain(path);

    int n = -1;
    EXPECT_EQ(keychain.count("svc", &n), Keychain::kItemNotFound);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(keychain.add("svc", "a", "one"), Keychain::kSuccess);
    EXPECT_EQ(keychain.add("svc", "a", "two"), Keychain::kDuplicateItem);
    EXPECT_EQ(keychain.add("svc", "b", QByteArray("\x00\xff", 2)), Keychain::kSuccess);
    EXPECT_EQ(keychain.add("other", "a", "x"), Keychain::kSuccess);
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    QByteArray data;
    EXPECT_EQ(FileKeychain(path).read("svc", "b", &data), Keychain::kSuccess);
    EXPECT_EQ(data, QByteArray("\x00\xff", 2));
    EXPECT_EQ(keychain.read("svc", "zz", &data), Keychain::kItemNotFound);
    EXPECT_EQ(keychain.count("svc", &n), Keychain::kSuccess);
    EXPECT_EQ(n, 2);
    QStringList accounts;
    EXPECT_EQ(keychain.accounts("svc", &accounts), Keychain::kSuccess);
    EXPECT_EQ(accounts, (QStringList{"a", "b"}));
    EXPECT_EQ(keychain.accounts("none", &accounts), Keychain::kItemNotFound);

    EXPECT_EQ(keychain.remove("svc", "a"), Keychain::kSuccess);
    EXPECT_EQ(keychain.remove("svc", "a"), Keychain::kItemNotFound);
    EXPECT_EQ(keychain.removeAll("svc"), Keychain::kSuccess);
    EXPECT_EQ(keychain.removeAll("svc"), Keychain::kItemNotFound);
    EXPECT_EQ(keychain.read("other", "a", &data), Keychain::kSuccess);
}

TEST(FileKeychain, AFullDiskFailsTheChangeAndKeepsEveryItem)
{
    test::TestPlatform env;
    test::SmallDisk disk(env.root() + "/support");
    if (!disk.available()) {
        GTEST_SKIP() << "no disk of its own to fill: " << disk.whyNot().toStdString();
    }
    const QString path = env.root() + "/support/keychain.json";
    FileKeychain keychain(path);
    ASSERT_EQ(keychain.add("svc", "a", "token-a"), Keychain::kSuccess);
    const QByteArray before = test::readBytes(path);
    ASSERT_TRUE(disk.fill());

    EXPECT_EQ(keychain.add("svc", "b", QByteArray(64 * 1024, 'b')), Keychain::kIOError);
    EXPECT_EQ(keychain.remove("svc", "a"), Keychain::kIOError);
    EXPECT_EQ(test::readBytes(path), before);
    QByteArray data;
    EXPECT_EQ(FileKeychain(path).read("svc", "a", &data), Keychain::kSuccess);
    EXPECT_EQ(data, QByteArray("token-a"));
}

TEST(FileKeychain, DamagedFileIsMovedAsideAndAnEmptyStoreStarts)
{
    const QList<QByteArray> damaged = {
        "{\"svc\":{\"a\":\"eA=", "\x89PNG garbage", "", "[1,2]", "{\"svc\":5}", "{\"svc\":{\"a\":7}}",
    };
    for (const QByteArray &content : damaged) {
        test::TestPlatform env;
        const QString path = env.root() + "/keychain.json";
        ASSERT_TRUE(test::writeFile(path, content));
        FileKeychain keychain(path);
        QByteArray data;
        EXPECT_EQ(keychain.read("svc", "a", &data), Keychain::kItemNotFound) << content.toStdString();
        EXPECT_EQ(keychain.add("svc", "b", "x"), Keychain::kSuccess) << content.toStdString();
        EXPECT_EQ(FileKeychain(path).read("svc", "b", &data), Keychain::kSuccess) << content.toStdString();
        EXPECT_EQ(test::readBytes(path + ".corrupt"), content);
        EXPECT_TRUE(env.log().contains("is damaged")) << content.toStdString();
    }
}

TEST(FileKeychain, LeftoversOfAnInterruptedSaveAreRemoved)
{
    test::TestPlatform env;
    const QString path = env.root() + "/keychain.json";
    for (const char *name : {"/keychain.json.Ab12Cd", "/keychain.json.corrupt", "/keychain.json.Ab12Cd7"}) {
        ASSERT_TRUE(test::writeFile(env.root() + name, "{\"svc\":"));
    }
    FileKeychain keychain(path);
    EXPECT_FALSE(QFile::exists(path + ".Ab12Cd"));
    EXPECT_TRUE(QFile::exists(path + ".corrupt"));
    EXPECT_TRUE(QFile::exists(path + ".Ab12Cd7"));
}

} // namespace
} // namespace cordavelle
