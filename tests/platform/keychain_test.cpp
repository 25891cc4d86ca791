#include "platform/glib_wait.h"
#include "platform/keychain.h"

#include "support/small_disk.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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

// The keyring's one thread waits on a call that never ends, as a libsecret task left unreturned:
// once the call is cancelled the wait is given up, and the thread's next call is answered.
TEST(KeyringCallWait, ACancelledCallThatNeverEndsHoldsTheThreadNoLonger)
{
    using namespace std::chrono_literals;
    GMainContext *context = g_main_context_new();
    GCancellable *cancellable = g_cancellable_new();
    std::atomic<GTask *> neverEnding = nullptr;
    std::atomic<bool> done = false;
    GAsyncResult *first = nullptr;
    GAsyncResult *next = nullptr;
    bool cancelled = false;
    std::thread keyringThread([&] {
        first = waitForCall(context, cancellable, [&](GAsyncReadyCallback ended, gpointer data) {
            neverEnding = g_task_new(nullptr, nullptr, ended, data);
        }, &cancelled);
        next = waitForCall(context, nullptr, [](GAsyncReadyCallback ended, gpointer data) {
            GTask *task = g_task_new(nullptr, nullptr, ended, data);
            g_task_return_boolean(task, TRUE);
            g_object_unref(task);
        });
        done = true;
    });
    while (!neverEnding) {
        std::this_thread::sleep_for(1ms);
    }
    // Long enough for the thread to be asleep in its wait when the cancel comes.
    std::this_thread::sleep_for(100ms);
    g_cancellable_cancel(cancellable);
    for (int i = 0; i < 5000 && !done; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(done) << "the thread still waits on the cancelled call";
    // Its end comes late, to a wait given up on, or lets a thread still waiting go.
    g_task_return_boolean(neverEnding, TRUE);
    g_object_unref(neverEnding);
    keyringThread.join();
    while (g_main_context_iteration(context, FALSE)) {
    }
    EXPECT_EQ(first, nullptr);
    EXPECT_TRUE(cancelled);
    ASSERT_NE(next, nullptr);
    EXPECT_TRUE(g_task_propagate_boolean(G_TASK(next), nullptr));
    for (GAsyncResult *result : {first, next}) {
        if (result) {
            g_object_unref(result);
        }
    }
    g_object_unref(cancellable);
    g_main_context_unref(context);
}

} // namespace
} // namespace cordavelle
