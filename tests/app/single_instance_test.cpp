#include "app/single_instance.h"

#include "platform/clock.h"
#include "platform/paths.h"

#include "support/event_wait.h"
#include "support/manual_clock.h"
#include "support/needs_root.h"
#include "support/other_user_client.h"
#include "support/task_outcome.h"
#include "support/test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>

#include "support/qt_printers.h"

#include <gtest/gtest.h>

#include <optional>

#include <sys/stat.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

TEST(SingleInstance, ALaterLaunchAsksTheFirstToReopenAndASocketLeftByACrashIsTakenOver)
{
    QTemporaryDir folder;
    const RootedPaths paths(folder.path());
    ASSERT_TRUE(QDir().mkpath(paths.preferences()));
    const QString path = SingleInstance::socketPathFor(paths);
    EXPECT_EQ(SingleInstance::socketNameFor(paths.preferences()),
              SingleInstance::socketNameFor(paths.preferences() + "/."));
    EXPECT_NE(SingleInstance::socketNameFor(paths.preferences()),
              SingleInstance::socketNameFor(paths.preferences() + "/other"));
    // "lnk/../prefs" is "real/prefs", not the "prefs" beside the link.
    ASSERT_TRUE(QDir().mkpath(folder.filePath("real/inner")));
    ASSERT_TRUE(QFile::link(folder.filePath("real/inner"), folder.filePath("lnk")));
    EXPECT_NE(SingleInstance::socketNameFor(folder.filePath("lnk/../prefs")),
              SingleInstance::socketNameFor(folder.filePath("prefs")));
    EXPECT_EQ(SingleInstance::socketNameFor(folder.filePath("lnk/../prefs")),
              SingleInstance::socketNameFor(folder.filePath("real/prefs")));

    auto first = std::make_unique<SingleInstance>(path);
    ASSERT_TRUE(first->claim());
    int reopens = 0;
    QObject::connect(first.get(), &SingleInstance::reopenRequested, [&] { ++reopens; });
    SingleInstance second(path);
    EXPECT_FALSE(second.claim());
    EXPECT_TRUE(test::processEventsUntil([&] { return reopens == 1; }));

    // The first one gone without cleaning up: its socket file stays behind.
    first.reset();
    QFile(path).open(QIODevice::WriteOnly);
    SingleInstance third(path);
    EXPECT_TRUE(third.claim());
    EXPECT_FALSE(SingleInstance(path).claim());
}

// Anyone can compute the socket's name: it goes to the session's runtime folder only when no one
// else may enter or write it, and to the preferences folder otherwise.
TEST(SingleInstance, TheSocketIsInTheRuntimeFolderOnlyWhenThatIsTheUsersAlone)
{
    struct Case {
        const char *what;
        mode_t mode; // 0: no runtime folder
        bool others;
        bool inRuntime;
    };
    const Case cases[] = {
        {"private", 0700, false, true},     {"enterable by all", 0711, false, false},
        {"open", 0777, false, false},       {"open and sticky", 01777, false, false},
        {"another user's", 0700, true, false}, {"absent", 0, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.others && !test::runsAsRoot()) {
            continue;
        }
        QTemporaryDir root;
        const RootedPaths paths(root.path());
        const QByteArray runtime = QFile::encodeName(root.path() + "/runtime");
        if (c.mode != 0) {
            ASSERT_EQ(::mkdir(runtime.constData(), 0700), 0);
            ASSERT_EQ(::chmod(runtime.constData(), c.mode), 0);
        }
        if (c.others) {
            ASSERT_EQ(::chown(runtime.constData(), test::kOtherUid, test::kOtherUid), 0);
        }
        const QString name = "/" + SingleInstance::socketNameFor(paths.preferences());
        EXPECT_EQ(SingleInstance::socketPathFor(paths),
                  (c.inRuntime ? QFile::decodeName(runtime) : paths.preferences()) + name);
    }
    SKIP_UNLESS_ROOT("the row with another user's runtime folder");
}

// What another user put in the socket's folder while it let her write stays hers: her socket gets
// no handover whether it answers or not, and is neither removed nor replaced; her link is not
// followed to a program of the user's that would take the handover; her lock is not taken. Nor is
// her listener handed over to when it is reached through the user's own link. The launch goes on
// as the only instance, and later ones find it where they can. A folder she or the group may still
// write, or that is hers, is not used at all.
TEST(SingleInstance, AnotherUsersSocketOrLockIsNeverUsedOrRemoved)
{
    SKIP_UNLESS_ROOT("another user's socket");
    enum class Hers { listener, boundSocket, link, lock, listenerBehindOwnLink, nothing };
    struct Case {
        const char *what;
        Hers hers;
        mode_t folderMode; // once hers is there
        bool laterLaunchesFindIt;
        bool herFolder = false;
    };
    const Case cases[] = {
        {"her listener", Hers::listener, 0700, false},
        {"her socket, which no one answers", Hers::boundSocket, 0700, false},
        {"her link to another program of the user's", Hers::link, 0700, false},
        {"her lock", Hers::lock, 0700, true},
        {"the user's own link to her listener", Hers::listenerBehindOwnLink, 0700, false},
        {"an open folder", Hers::nothing, 0777, false},
        {"an open sticky folder", Hers::nothing, 01777, false},
        {"a folder the group may write", Hers::nothing, 0770, false},
        {"her folder", Hers::nothing, 0755, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir root;
        const QString folder = root.path() + "/instance";
        const QByteArray encodedFolder = QFile::encodeName(folder);
        ASSERT_EQ(::mkdir(encodedFolder.constData(), 0700), 0);
        ASSERT_EQ(::chmod(encodedFolder.constData(), 0777), 0);
        ::chmod(QFile::encodeName(root.path()).constData(), 0755);
        const QString path = folder + "/" + SingleInstance::socketNameFor(root.path());
        const QString hersAt = c.hers == Hers::lock                    ? path + ".lock"
                               : c.hers == Hers::listenerBehindOwnLink ? folder + "/hers"
                                                                       : path;
        std::optional<test::OtherUserListener> listener;
        QLocalServer usersOther;
        // Listened on as her, so that the kernel names her to whoever connects; kept in this
        // process, it shows what a launch told her.
        QLocalServer herListener;
        if (c.hers == Hers::listenerBehindOwnLink) {
            {
                test::ActingAs her(test::kOtherUid);
                ASSERT_TRUE(her.ok());
                ASSERT_TRUE(herListener.listen(hersAt));
            }
            ASSERT_TRUE(QFile::link(hersAt, path));
        } else if (c.hers == Hers::link) {
            ASSERT_TRUE(usersOther.listen(root.path() + "/agent"));
            ASSERT_TRUE(QFile::link(usersOther.fullServerName(), path));
            ASSERT_EQ(::lchown(QFile::encodeName(path).constData(), test::kOtherUid, test::kOtherUid), 0);
        } else if (c.hers == Hers::listener || c.hers == Hers::boundSocket) {
            listener.emplace(path, c.hers == Hers::listener);
            ASSERT_TRUE(listener->listening());
        } else if (c.hers == Hers::lock) {
            // As a process that has ended left it.
            ASSERT_TRUE(test::writeFile(hersAt, "2147483646\ncordavelle-helper\n" + QSysInfo::machineHostName().toUtf8() + "\n"));
            ASSERT_EQ(::chown(QFile::encodeName(hersAt).constData(), test::kOtherUid, test::kOtherUid), 0);
        }
        ASSERT_EQ(::chmod(encodedFolder.constData(), c.folderMode), 0);
        if (c.herFolder) {
            ASSERT_EQ(::chown(encodedFolder.constData(), test::kOtherUid, test::kOtherUid), 0);
        }

        SingleInstance first(path);
        EXPECT_TRUE(first.claim());
        SingleInstance later(path);
        EXPECT_EQ(later.claim(), !c.laterLaunchesFindIt);
        EXPECT_FALSE(usersOther.waitForNewConnection(0));
        QByteArray toHer;
        while (herListener.waitForNewConnection(0)) {
            QLocalSocket *connection = herListener.nextPendingConnection();
            while (connection->waitForReadyRead(10000)) {
            }
            EXPECT_EQ(connection->state(), QLocalSocket::UnconnectedState)
                << "the launch's connection to her listener was still open after 10 s";
            toHer += connection->readAll();
        }
        EXPECT_EQ(toHer, QByteArray());
        if (c.hers == Hers::nothing) {
            // A socket is no file to QDir: only as a system entry is it listed.
            const QStringList left =
                QDir(folder).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot);
            EXPECT_EQ(left.join(' ').toStdString(), "");
            continue;
        }
        struct stat st {};
        ASSERT_EQ(::lstat(QFile::encodeName(hersAt).constData(), &st), 0);
        EXPECT_EQ(st.st_uid, test::kOtherUid);
        EXPECT_EQ(st.st_mode & S_IFMT, c.hers == Hers::lock ? S_IFREG : c.hers == Hers::link ? S_IFLNK : S_IFSOCK);
    }
}

// Whether the wait saw the process end, once it is over.
std::shared_ptr<test::TaskOutcome> waitForEnd(qint64 pid, std::chrono::milliseconds limit, Clock &clock, bool &ended)
{
    return test::track([](QCoro::Task<bool> wait, bool &result) -> QCoro::Task<void> {
        result = co_await std::move(wait);
    }(SingleInstance::waitForProcessToEnd(pid, limit, clock), ended));
}

TEST(SingleInstance, ARelaunchWaitsForTheOldProcessToEnd)
{
    test::ManualClock clock;
    QProcess old;
    old.start("sleep", {"600"});
    ASSERT_TRUE(old.waitForStarted());
    bool oldEnded = false;
    auto ended = waitForEnd(old.processId(), 5s, clock, oldEnded);
    clock.advance(4s);
    EXPECT_FALSE(ended->done);
    old.kill();
    ASSERT_TRUE(old.waitForFinished());
    clock.advance(100ms);
    EXPECT_TRUE(ended->done);
    EXPECT_TRUE(oldEnded);

    // This test's own process outlives any limit.
    bool staysEnded = true;
    auto gaveUp = waitForEnd(QCoreApplication::applicationPid(), 200ms, clock, staysEnded);
    clock.advance(200ms);
    EXPECT_TRUE(gaveUp->done);
    EXPECT_FALSE(staysEnded);
}

} // namespace
} // namespace cordavelle
