#include "core/managed_process.h"
#include "platform/child_process.h"
#include "platform/port_listeners.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/scoped_environment.h"
#include "support/task_outcome.h"
#include "support/test_platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <mutex>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

class ManagedProcessTest : public ::testing::Test {
protected:
    ManagedProcessTest()
    {
        children.watch(process);
        QObject::connect(&process, &ManagedProcess::startedAtChanged, [this] { ++startedAtChanges; });
        process.setOnUnexpectedExit([this](LaunchOutcome end) { unexpectedExits.push_back(end.value()); });
    }

    ~ManagedProcessTest() override
    {
        children.killAll();
        // Cancelled waits resume through queued events; let them run while the clock exists.
        processHolder.reset();
        test::ManualClock::processEvents();
    }

    std::shared_ptr<test::TaskOutcome> sh(const QString &script,
                                          std::optional<std::map<QString, QString>> environment = {},
                                          std::optional<int> port = {})
    {
        return test::track(process.start("/bin/sh", {"-c", script}, std::move(environment), port));
    }

    // Output shows in batches a quarter of a second after it came: waits until a batch's flush is
    // due, then steps the clock to it, until `fragment` shows.
    bool waitForLog(const QString &fragment)
    {
        const auto flushDue = [&] {
            const auto next = env.clock().nextDeadline();
            return next && *next <= env.clock().now() + 250ms;
        };
        while (process.logLines().filter(fragment).isEmpty()) {
            if (!test::processEventsUntil(flushDue, 10s)) {
                return false;
            }
            env.clock().advance(250ms);
        }
        return true;
    }

    test::TestPlatform env;
    std::unique_ptr<ManagedProcess> processHolder = std::make_unique<ManagedProcess>(ServiceID::rigctld, env.clock());
    ManagedProcess &process = *processHolder;
    test::ChildProcessGroups children;
    std::vector<int32_t> unexpectedExits;
    int startedAtChanges = 0;
};

TEST_F(ManagedProcessTest, ExitsWhileStartingAreErrorsUnlessClean)
{
    auto run = sh("echo 'cannot open rig'; exit 3");
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::error; }, 10s));
    EXPECT_TRUE(run->done);
    EXPECT_EQ(process.lastError(), "Process exited with code 3");
    EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::exitedWithCode(3));
    EXPECT_FALSE(process.pid());
    EXPECT_FALSE(process.startedAt());
    EXPECT_TRUE(unexpectedExits.empty());
    // The child's last words were read before its end was handled, and no monitor outlives it.
    test::ManualClock::processEvents();
    EXPECT_EQ(env.clock().sleeperCount(), 1u);
    env.clock().advance(250ms);
    EXPECT_EQ(process.logLines(), QStringList{"cannot open rig"});
    EXPECT_EQ(env.clock().sleeperCount(), 0u);

    // A launcher that hands over and exits cleanly leaves the verdict to the orchestrator.
    run = sh("exit 0");
    EXPECT_FALSE(process.lastError());
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return process.lastLaunchOutcome() == LaunchOutcome::exitedCleanly(); }, 10s));
    EXPECT_EQ(process.state(), ServiceRunState::starting);
    EXPECT_FALSE(process.pid());
    process.markRunning();
    EXPECT_EQ(process.state(), ServiceRunState::running);
    process.stop();
    EXPECT_EQ(process.state(), ServiceRunState::stopped);
    EXPECT_TRUE(unexpectedExits.empty());
}

TEST_F(ManagedProcessTest, AKillFromOutsideWhileRunningIsAnUnexpectedExit)
{
    auto run = sh("exec sleep 30");
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }, 10s));
    ASSERT_TRUE(process.pid());
    EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::running());
    process.markRunning();
    env.clock().advance(90s);
    EXPECT_NEAR(*process.uptime(), 90.0, 0.01);

    ASSERT_TRUE(test::signalChild(process.pid(), SIGKILL));
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::error; }, 10s));
    EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::killedBySignal(9));
    EXPECT_EQ(process.lastError(), "Process was killed by signal 9 (SIGKILL)");
    EXPECT_EQ(unexpectedExits, std::vector<int32_t>{9});
    EXPECT_FALSE(process.pid());
    EXPECT_FALSE(process.startedAt());
    EXPECT_FALSE(process.uptime());
    process.stop();
    EXPECT_EQ(process.state(), ServiceRunState::error);
}

// Swallows the queued reports that ChildProcess objects send themselves, among them the one that
// announces a child's end, for as long as it exists; then lets the swallowed objects go.
class ExitNoticeBlocker : public QObject {
public:
    ExitNoticeBlocker() { QCoreApplication::instance()->installEventFilter(this); }
    // Whether a child's notice has been held back.
    bool holdsANotice() const { return !m_held.empty(); }

    ~ExitNoticeBlocker() override
    {
        QCoreApplication::instance()->removeEventFilter(this);
        for (const auto &child : m_held) {
            if (child) {
                child->deleteLater();
            }
        }
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::MetaCall || !qobject_cast<ChildProcess *>(watched)) {
            return false;
        }
        m_held.emplace_back(watched);
        return true;
    }

private:
    std::vector<QPointer<QObject>> m_held;
};

TEST_F(ManagedProcessTest, TheHealthMonitorNoticesAnEndWhoseNoticeNeverCame)
{
    auto run = sh("exec sleep 30");
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }, 10s));
    process.markRunning();
    const auto pid = static_cast<pid_t>(*process.pid());

    ExitNoticeBlocker blocker;
    ASSERT_TRUE(test::signalChild(pid, SIGKILL));
    ASSERT_TRUE(test::processEventsUntil([&] { return !test::isAlive(pid) && blocker.holdsANotice(); }, 10s));
    test::ManualClock::processEvents();
    EXPECT_EQ(process.state(), ServiceRunState::running);

    // The check every 5 s finds the child gone.
    env.clock().advance(4900ms);
    EXPECT_EQ(process.state(), ServiceRunState::running);
    env.clock().advance(100ms);
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::error; }, 10s));
    EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::killedBySignal(9));
    EXPECT_EQ(unexpectedExits, std::vector<int32_t>{9});
    EXPECT_FALSE(process.pid());
}

TEST_F(ManagedProcessTest, StopSendsSigtermToTheGroupThenSigkillTwoSecondsLater)
{
    const QString termed = env.root() + QStringLiteral("/termed");
    auto run = sh(QStringLiteral("trap 'touch \"%1\"' TERM; echo ready; while :; do sleep 1; done").arg(termed));
    ASSERT_TRUE(waitForLog("ready"));
    process.stop();
    EXPECT_EQ(process.state(), ServiceRunState::stopping);
    ASSERT_TRUE(test::processEventsUntil([&] { return QFile::exists(termed); }, 10s));
    env.clock().advance(1900ms);
    EXPECT_EQ(process.state(), ServiceRunState::stopping);
    env.clock().advance(100ms);
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::stopped; }, 10s));
    // Asked for, so a plain stop rather than a failure, though it took a kill.
    EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::stopped(9));
    EXPECT_FALSE(process.lastError());
    EXPECT_FALSE(process.pid());

    // A grandchild in the group goes with it; a child that obeys SIGTERM needs no escalation.
    run = sh("sleep 300 & echo \"grandchild $!\"; wait");
    ASSERT_TRUE(waitForLog("grandchild"));
    const qint64 grandchild = process.logLines().filter("grandchild").last().section(' ', 1).toLongLong();
    ASSERT_TRUE(test::isAlive(grandchild));
    process.stop();
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::stopped; }, 10s));
    EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::stopped(15));
    EXPECT_TRUE(test::processEventsUntil([&] { return !test::isAlive(grandchild); }, 10s));
    EXPECT_TRUE(unexpectedExits.empty());
}

// A stop's SIGKILL falls due two seconds after its SIGTERM, when a start that came right after
// the stop has its own child running: the escalation must reach only the child it was meant for.
TEST_F(ManagedProcessTest, AStartRightAfterAStopOutlivesThatStopsEscalation)
{
    auto run = sh("exec sleep 600");
    for (int cycle = 0; cycle < 25; ++cycle) {
        ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }, 10s)) << cycle;
        process.markRunning();
        process.stop();
        ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::stopped; }, 10s)) << cycle;
        // Ended by the stop's SIGTERM, not by an escalation meant for the child before it.
        EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::stopped(SIGTERM)) << cycle;
        run = sh("exec sleep 600");
        ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }, 10s)) << cycle;
        env.clock().advance(2100ms);
        ASSERT_EQ(process.state(), ServiceRunState::starting) << cycle << ": " << process.lastError().value_or("").toStdString();
        ASSERT_TRUE(process.pid() && test::isAlive(*process.pid())) << cycle;
        EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::running()) << cycle;
    }
    process.stop();
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::stopped; }, 10s));
    EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::stopped(SIGTERM));
    EXPECT_TRUE(unexpectedExits.empty());
}

TEST_F(ManagedProcessTest, EnvironmentMapIsMergedIntoTheInheritedOne)
{
    test::ScopedEnvironment variables;
    variables.set("CORDAVELLE_INHERITED", "kept");
    const QString script = "echo \"env $CORDAVELLE_INHERITED/${CORDAVELLE_ADDED:-none}\"";
    sh(script, std::map<QString, QString>{{"CORDAVELLE_ADDED", "added"}});
    EXPECT_EQ(process.lastLaunchCommand(), "/bin/sh -c '" + script + "'");
    ASSERT_TRUE(waitForLog("env kept/added"));
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return process.lastLaunchOutcome() == LaunchOutcome::exitedCleanly(); }, 10s));
    process.markRunning();
    process.stop();

    sh(script);
    EXPECT_TRUE(waitForLog("env kept/none"));
}

TEST_F(ManagedProcessTest, AMissingProgramFailsTheStart)
{
    auto run = test::track(process.start("/nonexistent/modem", {"--flag"}, std::nullopt, std::nullopt));
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }, 10s));
    ASSERT_TRUE(run->error);
    EXPECT_TRUE(run->error->contains("No such file or directory")) << run->error->toStdString();
    EXPECT_EQ(process.lastError(), run->error);
    EXPECT_EQ(process.state(), ServiceRunState::error);
    EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::neverStarted());
    EXPECT_TRUE(process.lastLaunchOutcomeAt());
    EXPECT_EQ(process.lastLaunchCommand(), "/nonexistent/modem --flag");
    EXPECT_FALSE(process.pid());
    EXPECT_EQ(startedAtChanges, 0);
}

TEST_F(ManagedProcessTest, AWorkingFolderIsWhereTheChildRunsOrItsStartFails)
{
    const QString folder = env.root() + QStringLiteral("/work folder");
    ASSERT_TRUE(QDir().mkpath(folder));
    auto run = test::track(process.start("/bin/sh", {"-c", "echo \"in $PWD\""}, std::nullopt, std::nullopt, {}, folder));
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }, 10s));
    ASSERT_FALSE(run->error) << run->error->toStdString();
    EXPECT_EQ(process.lastLaunchCommand(), "cd '" + folder + "' && /bin/sh -c 'echo \"in $PWD\"'");
    EXPECT_TRUE(waitForLog("in " + folder));
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return process.lastLaunchOutcome() == LaunchOutcome::exitedCleanly(); }, 10s));
    process.markRunning();
    process.stop();

    const QString missing = folder + QStringLiteral("/gone");
    run = test::track(process.start("/bin/sh", {"-c", "exit 0"}, std::nullopt, std::nullopt, {}, missing));
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }, 10s));
    ASSERT_TRUE(run->error);
    EXPECT_EQ(*run->error, "Can't enter the folder " + missing + ": No such file or directory");
    EXPECT_EQ(process.state(), ServiceRunState::error);
    EXPECT_EQ(process.lastLaunchOutcome(), LaunchOutcome::neverStarted());
}

TEST_F(ManagedProcessTest, ThePortWaitLooksEveryHalfSecondForFiveSecondsForTheChildsOwnListener)
{
    // Listening from the start, but the test's own: another program's listener answers as well as
    // the child's would, and the child may never have bound the port.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    const int port = ntohs(address.sin_port);
    auto closeListener = qScopeGuard([listener] { ::close(listener); });
    // A look has found nothing when the pause after it begins.
    auto probes = [&] { return std::count(env.clock().sleepLog().begin(), env.clock().sleepLog().end(), 500ms); };
    auto probed = [&](long count) { return test::processEventsUntil([&] { return probes() >= count; }, 10s); };

    // Never the child's: about ten looks, a log line, and the start still succeeds.
    const auto begun = env.clock().now();
    auto run = sh("exec sleep 30", {}, port);
    for (long count = 1; !run->done; ++count) {
        ASSERT_TRUE(test::processEventsUntil([&] { return run->done || probes() >= count; }, 10s));
        if (!run->done) {
            env.clock().advance(500ms);
        }
    }
    EXPECT_EQ(probes(), 10);
    EXPECT_EQ(env.clock().now() - begun, 5000ms);
    EXPECT_TRUE(env.log().contains(QString::fromUtf8("Port %1 not open after 5s \u2014 process stays alive").arg(port)));
    EXPECT_EQ(process.state(), ServiceRunState::starting);
    EXPECT_TRUE(process.startedAt());
    process.stop();
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::stopped; }, 10s));
    closeListener.dismiss();
    ::close(listener);

    // Opened by the child's grandchild while the start waits: the next look finds it.
    const QString go = env.root() + QStringLiteral("/go");
    const QString grandchild =
        QStringLiteral("(python3 -c 'import os, socket, time\n"
                       "while not os.path.exists(\"%1\"): time.sleep(0.01)\n"
                       "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                       "s.bind((\"127.0.0.1\", %2)); s.listen(4); time.sleep(30)' & wait) & wait")
            .arg(go)
            .arg(port);
    run = sh(grandchild, {}, port);
    ASSERT_TRUE(probed(11));
    env.clock().advance(500ms);
    ASSERT_TRUE(probed(12));
    QFile(go).open(QIODevice::WriteOnly);
    ASSERT_TRUE(test::processEventsUntil(
        [&] {
            const auto listeners = tcpListenersOn(port);
            return listeners && !listeners->empty();
        },
        10s));
    const auto opened = env.clock().now();
    env.clock().advance(500ms);
    ASSERT_TRUE(test::processEventsUntil([&] { return run->done; }, 10s));
    EXPECT_EQ(env.clock().now() - opened, 500ms);
    EXPECT_EQ(probes(), 12);
    EXPECT_TRUE(process.startedAt());
    process.stop();
    ASSERT_TRUE(test::processEventsUntil([&] { return process.state() == ServiceRunState::stopped; }, 10s));

    // A stop during the wait ends it; nothing is stamped or watched afterwards.
    startedAtChanges = 0;
    const std::size_t logged = env.log().entries.size();
    run = sh("exec sleep 30", {}, port);
    ASSERT_TRUE(probed(13));
    process.stop();
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return run->done && process.state() == ServiceRunState::stopped; }, 10s));
    EXPECT_EQ(startedAtChanges, 0);
    EXPECT_EQ(env.log().entries.size(), logged);
    env.clock().advance(2s); // only the stop escalations were left sleeping
    EXPECT_EQ(env.clock().sleeperCount(), 0u);
}

TEST_F(ManagedProcessTest, OutputIsBatchedCappedAndClearable)
{
    int changes = 0;
    QObject::connect(&process, &ManagedProcess::logLinesChanged, [&] { ++changes; });
    sh("i=1; while [ $i -le 600 ]; do echo \"line $i\"; i=$((i+1)); done; printf 'no line feed'");
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return process.lastLaunchOutcome() == LaunchOutcome::exitedCleanly(); }, 10s));
    EXPECT_EQ(changes, 0);
    env.clock().advance(250ms);
    EXPECT_EQ(changes, 1);
    // The last line, without a line feed, is shown once the child has ended.
    ASSERT_EQ(process.logLines().size(), 500);
    EXPECT_EQ(process.logLines().first(), "line 102");
    EXPECT_EQ(process.logLines().last(), "no line feed");
    process.markRunning();
    process.stop();

    process.clearLog();
    sh("echo again");
    ASSERT_TRUE(waitForLog("again"));
    EXPECT_EQ(process.logLines(), QStringList{"again"});
}

TEST(ChildProcess, ReportsTheEndOnlyAfterReadingEverythingEvenWhileAGrandchildHoldsThePipe)
{
    std::mutex mutex;
    QByteArray output;
    ChildProcess *child = ChildProcess::launch(
        "/bin/sh", {"-c", "sleep 30 & i=1; while [ $i -le 2000 ]; do echo \"line $i\"; i=$((i+1)); done; exit 3"},
        std::nullopt, [&](const QByteArray &chunk) {
            std::lock_guard lock(mutex);
            output.append(chunk);
        });
    // The sleep outlives the shell, in its group.
    test::ChildProcessGroups groups;
    groups.note(child->pid());
    bool exited = false;
    QByteArray atExit;
    QObject::connect(child, &ChildProcess::exited, [&](int status, bool bySignal) {
        exited = true;
        EXPECT_EQ(status, 3);
        EXPECT_FALSE(bySignal);
        std::lock_guard lock(mutex);
        atExit = output;
    });
    const bool ended = test::processEventsUntil([&] { return exited; }, 10s);
    groups.killAll();
    ASSERT_TRUE(ended);
    EXPECT_EQ(atExit.count('\n'), 2000);
    EXPECT_TRUE(atExit.endsWith("line 2000\n"));
}

// A service ends with the helper however the helper ends: killed, the system ends it; ended
// through exit() past its quit (Qt's end when the display goes away), it is asked with SIGTERM.
TEST(ChildProcess, EndsWithTheHelperHoweverTheHelperEnds)
{
    const struct {
        const char *what;
        bool killed;
    } cases[] = {{"the helper killed", true}, {"the helper ending through exit()", false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QTemporaryDir folder;
        const QString ready = folder.filePath("ready");
        const QString asked = folder.filePath("asked to end");
        const QString service = QStringLiteral("trap 'touch \"%1\"; exit 0' TERM; touch \"%2\"; while :; do sleep 1; done")
                                    .arg(asked, ready);
        QProcess helper;
        helper.start(QCoreApplication::applicationFilePath(),
                     {"--stand-in-parent", c.killed ? QString() : ready, "/bin/sh", "-c", service});
        ASSERT_TRUE(test::processEventsUntil([&] { return helper.canReadLine(); }, 30s));
        const qint64 pid = helper.readLine().trimmed().toLongLong();
        ASSERT_GT(pid, 0);
        const test::ProcessHandle child(pid);
        if (c.killed) {
            test::killProcess(helper);
        } else {
            test::awaitEnd(helper);
        }
        const bool ended = child.endsWithin(30s);
        if (!ended) {
            child.signal(SIGKILL);
        }
        EXPECT_TRUE(ended);
        EXPECT_EQ(QFile::exists(asked), !c.killed);
    }
}

} // namespace
} // namespace cordavelle
