// The built helper as a whole: it starts an always-on service by itself and takes it down with
// it when it is told to terminate, with windows or without.

#include "base/helper_places.h"
#include "core/config_store.h"
#include "platform/keychain.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/fixed_port_lock.h"
#include "support/local_ports.h"
#include "support/needs_root.h"
#include "support/other_user_client.h"
#include "support/private_session_bus.h"
#include "support/test_files.h"
#include "support/test_platform.h"
#include "support/vara_modem_stand_in.h"
#include "support/wire_client.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <tuple>

#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

std::optional<qint64> readPid(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    bool ok = false;
    const qint64 pid = file.readAll().trimmed().toLongLong(&ok);
    return ok ? std::optional(pid) : std::nullopt;
}

// The environment of a helper run in `home`, with no pkill, lsof or wineserver of this machine:
// its sweeps reach only the tools below `toolsRoot`, never the processes of other tests.
QProcessEnvironment helperEnvironment(const QString &home, const QString &toolsRoot)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name :
         {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "DBUS_SESSION_BUS_ADDRESS", "CORDAVELLE_HELPER_LOG_LEVEL"}) {
        environment.remove(QString::fromLatin1(name));
    }
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("CORDAVELLE_HELPER_TOOLS_ROOT"), toolsRoot);
    return environment;
}

// Starts the helper without windows in `environment`, its output and errors read as one.
bool startHeadless(QProcess &helper, const QProcessEnvironment &environment)
{
    helper.setProcessEnvironment(environment);
    helper.setProcessChannelMode(QProcess::MergedChannels);
    helper.start(QStringLiteral(HELPER_BINARY_PATH), {QStringLiteral("--headless")});
    return helper.waitForStarted(5000);
}

// A private home whose settings start an always-on rigctld stand-in: a daemon with a child of its
// own, both deaf to SIGTERM, that must be gone once the helper has quit.
class HelperBinaryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString standIn = env.root() + QStringLiteral("/rig-daemon");
        ASSERT_TRUE(test::writeProgram(
            standIn, QStringLiteral("#!/bin/sh\ntrap '' TERM\necho $$ > '%1'\nsleep 600 &\necho $! > '%2'\nwait\n")
                         .arg(daemonPid, childPid)
                         .toUtf8()));
        // Written to the preferences of the temporary home that the helper runs with.
        ConfigStore config(env.defaults(), env.platform());
        // A port of its own: the default one may be taken by another test or a running helper.
        config.setApiPort(test::freeTcpPort());
        RigctldConfig rig;
        rig.lifecycleMode = ServiceLifecycleMode::alwaysOn;
        rig.rigctldPath = standIn;
        rig.tcpPort = test::freeTcpPort();
        config.setRigctldConfig(rig);
        env.defaults().setObject(QStringLiteral("hasCompletedHelperSetup"), true);

        environment = helperEnvironment(env.platform().paths().home(), env.root());
    }

    void TearDown() override
    {
        for (QProcess *process : {&helper, &second}) {
            test::killProcess(*process);
        }
        // Started by the helper in its home: a number of one that has ended is someone else's.
        const QByteArray home = "HOME=" + QFile::encodeName(env.platform().paths().home());
        for (const auto &pid : {readPid(daemonPid), readPid(childPid)}) {
            test::signalProcessWith(pid, home, SIGKILL);
        }
    }

    void start(QProcess &process)
    {
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(HELPER_BINARY_PATH), {});
        ASSERT_TRUE(process.waitForStarted(5000));
    }

    void startHelperAndItsService()
    {
        start(helper);
        const bool started = test::processEventsUntil([&] { return readPid(daemonPid) && readPid(childPid); }, 20s);
        ASSERT_TRUE(started) << helper.readAll().toStdString();
    }

    // Collects the first helper's output until it holds `line`: a line may come some time
    // after the one before it.
    bool helperPrints(const QString &line, std::chrono::milliseconds limit)
    {
        return test::processEventsUntil([&] { return (output += QString::fromUtf8(helper.readAll())).contains(line); },
                                        limit);
    }

    // The started helper logs `message` and refuses a start of rigctld with it, less the path of
    // `program`, which never runs (it would leave `ranMarker`).
    void expectRigctldRefused(quint16 apiPort, const QString &message, const QString &program, const QString &ranMarker)
    {
        ASSERT_TRUE(helperPrints(message, 20s)) << output.toStdString();
        const test::WireReply reply = test::WireReply::parse(
            test::exchange(apiPort, "POST /services/rigctld/start HTTP/1.1\r\nHost: localhost\r\n\r\n"));
        EXPECT_EQ(reply.statusCode, 500);
        // The log names the program; the reply names no path of this computer.
        const QString withoutPath = QString(message).replace(program, QChar(0x2026));
        EXPECT_EQ(QString::fromUtf8(reply.body), QStringLiteral("{\"error\":\"%1\"}").arg(withoutPath))
            << reply.body.toStdString();
        ASSERT_TRUE(test::signalChild(helper.processId(), SIGTERM));
        EXPECT_TRUE(helper.waitForFinished(10000));
        EXPECT_FALSE(QFile::exists(ranMarker));
    }

    // SIGTERM: the helper exits normally and leaves no child behind.
    void terminateAndExpectNothingLeft()
    {
        ASSERT_TRUE(test::signalChild(helper.processId(), SIGTERM));
        ASSERT_TRUE(helper.waitForFinished(10000));
        output += QString::fromUtf8(helper.readAll());
        EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit) << output.toStdString();
        EXPECT_EQ(helper.exitCode(), 0) << output.toStdString();
        EXPECT_TRUE(output.contains("Received SIGTERM; quitting")) << output.toStdString();
        EXPECT_TRUE(test::processEventsUntil(
            [&] { return !test::isAlive(*readPid(daemonPid)) && !test::isAlive(*readPid(childPid)); }, 2s))
            << output.toStdString();
    }

    test::TestPlatform env;
    const QString daemonPid = env.root() + QStringLiteral("/daemon.pid");
    const QString childPid = env.root() + QStringLiteral("/child.pid");
    QProcessEnvironment environment;
    QProcess helper;
    QProcess second;
    QString output;
};

TEST_F(HelperBinaryTest, TerminationStopsTheAlwaysOnServiceItStarted)
{
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    startHelperAndItsService();
    terminateAndExpectNothingLeft();
}

TEST_F(HelperBinaryTest, WithoutADisplayItRunsWithoutWindows)
{
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        environment.remove(QString::fromLatin1(name));
    }
    startHelperAndItsService();
    terminateAndExpectNothingLeft();
    EXPECT_FALSE(output.contains("Showing the management window")) << output.toStdString();
}

// Out of descriptors while the desktop's keyring is asked again every few seconds (a session bus
// whose keyring has no unlocked default collection): the helper rests and answers once the
// connections that took them close, still supervising its service.
TEST_F(HelperBinaryTest, RunningOutOfDescriptorsWhileTheKeyringIsAskedAgainEndsNothing)
{
    test::PrivateSessionBus bus;
    if (bus.address().isEmpty()) {
        GTEST_SKIP() << "dbus-daemon could not start a session bus";
    }
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), env.root());
    helper.setChildProcessModifier([] {
        const rlimit low{256, 256};
        ::setrlimit(RLIMIT_NOFILE, &low);
    });
    startHelperAndItsService();
    ASSERT_TRUE(helperPrints("until it answers", 20s)) << output.toStdString();
    const auto port = quint16(ConfigStore(env.defaults(), env.platform()).apiPort());

    // Held by another process for longer than the keyring's pause between questions.
    static const char holder[] = "import socket, sys\n"
                                 "s = []\n"
                                 "for _ in range(400):\n"
                                 "    try:\n"
                                 "        s.append(socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=2))\n"
                                 "    except OSError:\n"
                                 "        pass\n"
                                 "print(len(s), flush=True)\n"
                                 "sys.stdin.read()\n";
    QProcess clients;
    clients.start(QStringLiteral("/usr/bin/python3"), {"-c", holder, QString::number(port)});
    ASSERT_TRUE(test::processEventsUntil([&] { return clients.canReadLine(); }, 60s));
    EXPECT_GT(clients.readLine().trimmed().toInt(), 256);
    ASSERT_TRUE(helperPrints("No descriptor left for a new connection", 10s)) << output.toStdString();
    EXPECT_TRUE(helperPrints("Too few descriptors are left to ask the Secret Service", 2 * LinuxKeychain::kAskAgainAfter))
        << output.toStdString();
    clients.closeWriteChannel();
    ASSERT_TRUE(clients.waitForFinished(10000));

    ASSERT_TRUE(test::processEventsUntil([&] { return test::accepts(port, 100ms); }, 5s)) << output.toStdString();
    EXPECT_EQ(test::WireReply::parse(test::exchange(port, "GET /status HTTP/1.1\r\n\r\n")).statusCode, 200);
    EXPECT_EQ(helper.state(), QProcess::Running) << output.toStdString();
    terminateAndExpectNothingLeft();
}

// On a real X server: a second launch hands over to the first, which shows its window.
TEST_F(HelperBinaryTest, ASecondLaunchShowsTheFirstOnesWindowAndEnds)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        GTEST_SKIP() << "Xvfb is not installed";
    }
    QProcess server;
    server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                        QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                        QStringLiteral("1024x768x24")});
    ASSERT_TRUE(server.waitForStarted(5000));
    ASSERT_TRUE(test::processEventsUntil([&] { return server.canReadLine(); }, 10s)) << "Xvfb gave no display";
    const QString display = QStringLiteral(":") + QString::fromLatin1(server.readLine().trimmed());
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.insert(QStringLiteral("DISPLAY"), display);

    startHelperAndItsService();
    ASSERT_TRUE(helperPrints(QStringLiteral("Showing the management window"), 10s)) << output.toStdString();

    start(second);
    ASSERT_TRUE(second.waitForFinished(10000));
    const QString secondOutput = QString::fromUtf8(second.readAll());
    EXPECT_EQ(second.exitCode(), 0) << secondOutput.toStdString();
    EXPECT_TRUE(secondOutput.contains("already running")) << secondOutput.toStdString();
    EXPECT_TRUE(helperPrints(QStringLiteral("Another launch asked for the helper"), 5s)) << output.toStdString();
    EXPECT_TRUE(helperPrints(QStringLiteral("Bringing the helper's window forward"), 5s)) << output.toStdString();

    terminateAndExpectNothingLeft();
    test::stopProcess(server);
}

// Asking for help or the version, or giving an option the helper does not take, starts nothing:
// no sweep of stale processes, no settings or support folder, no API.
TEST(HelperCommandLineTest, AnswersAndRefusalsStartNothing)
{
    const QString usage =
        QStringLiteral("Options:\n"
                       "  -h, --help         Show this help and exit.\n"
                       "  -v, --version      Show the version and exit.\n"
                       "  --headless         Run without windows, even with a display.\n"
                       "  --after-pid <pid>  Wait for process <pid> to end first (a reset's restart).\n");
    const QString version = QStringLiteral("Cordavelle Helper " HELPER_VERSION "\n");
    struct Case {
        QStringList arguments;
        int status;
        QString output;
        QString error;
    };
    const Case cases[] = {
        {{"--help"}, 0, usage, {}},
        {{"-h", "--headless"}, 0, usage, {}},
        {{"--version"}, 0, version, {}},
        // Qt's own options are the application object's: it takes them away before the helper reads.
        {{"-platform", "offscreen", "-v"}, 0, version, {}},
        {{"--bogus"}, 2, {}, "cordavelle-helper: Unknown option 'bogus'.\n\nUsage: "},
        {{"--help", "--bogus"}, 2, {}, "Unknown option 'bogus'."},
        {{"headless"}, 2, {}, "Unexpected argument 'headless'."},
        {{"--after-pid"}, 2, {}, "Missing value after '--after-pid'."},
        {{"--after-pid", "-3"}, 2, {}, "Invalid process id '-3' for --after-pid."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        test::TestPlatform env;
        const QString home = env.root() + QStringLiteral("/home");
        ASSERT_TRUE(QDir().mkpath(home));
        const QString swept = env.root() + QStringLiteral("/swept");
        ASSERT_TRUE(test::writeProgram(env.hostPath(QStringLiteral("/usr/bin/pkill")),
                                       QStringLiteral("#!/bin/sh\ntouch '%1'\n").arg(swept).toUtf8()));
        QProcessEnvironment environment = helperEnvironment(home, env.root());
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

        QProcess helper;
        helper.setProcessEnvironment(environment);
        helper.start(QStringLiteral(HELPER_BINARY_PATH), c.arguments);
        ASSERT_TRUE(helper.waitForFinished(10000)) << "the helper ran on";
        const QString output = QString::fromUtf8(helper.readAllStandardOutput());
        const QString error = QString::fromUtf8(helper.readAllStandardError());
        EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(helper.exitCode(), c.status) << error.toStdString();
        if (c.output.isEmpty()) {
            EXPECT_EQ(output, QString());
        } else {
            EXPECT_TRUE(output.endsWith(c.output)) << output.toStdString();
        }
        EXPECT_TRUE(c.error.isEmpty() ? !error.contains("Usage:") : error.contains(c.error) && error.endsWith(usage))
            << error.toStdString();
        EXPECT_FALSE(QFile::exists(swept));
        EXPECT_TRUE(QDir(home).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    }
}

// A settings file written by hand or by an earlier version may name another user's program: it
// loads, but the service never starts from it, at start-up or when asked.
TEST_F(HelperBinaryTest, AnotherUsersProgramInTheSettingsIsNeverRun)
{
    SKIP_UNLESS_ROOT("giving a program to another user");
    constexpr uid_t stranger = 54321;
    const QString ran = env.root() + QStringLiteral("/ran");
    const QString theirs = env.root() + QStringLiteral("/theirs");
    ASSERT_TRUE(test::writeProgram(theirs, "#!/bin/sh\ntouch '" + ran.toUtf8() + "'\nexec sleep 600\n"));
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), stranger, stranger), 0);
    ConfigStore config(env.defaults(), env.platform());
    RigctldConfig rig = config.rigctldConfig();
    rig.rigctldPath = theirs;
    config.setRigctldConfig(rig);
    config.setRequirePairing(false);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    start(helper);
    const QString message = QStringLiteral("rigctld at %1 can be changed by another user (the file %1 belongs to another "
                                           "user) \u2014 choose a program only you or root can change")
                                .arg(theirs);
    expectRigctldRefused(quint16(config.apiPort()), message, theirs, ran);
}

// Under the umask 002 that gives every user a private group, what the user makes is writable by
// that group and still the user's alone: VARA starts from the helper's own Wine and prefix.
TEST_F(HelperBinaryTest, UnderAGroupWritableUmaskVARAStartsFromTheHelpersOwnWine)
{
    const test::FixedPortLock modemPort(quint16(commandPort(VARAVariant::hf)));
    ASSERT_TRUE(modemPort.held()) << "port 8300 stayed taken by another test";
    const test::ScopedUmask groupWritable(002);
    const QString launches = env.root() + QStringLiteral("/launches");
    // A stand-in Wine that notes what it runs and plays a modem that answers every command.
    const QByteArray wine = test::perlWineScript(launches, QStringLiteral(R"("$ARGV[0]\n")"), test::perlVaraModem());
    const QString modem = places::varaExecutable(VARAVariant::hf);
    // As the session's umask leaves them: folders 0775, programs 0775, files 0664.
    for (const auto &[path, bytes, mode] : {std::tuple{places::ownWineBinary(), wine, 0775},
                                             std::tuple{places::ownWineserver(), QByteArray("#!/bin/sh\n"), 0775},
                                             std::tuple{modem, QByteArray("MZ"), 0664}}) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        ASSERT_TRUE(test::writeProgram(path, bytes));
        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)), 0);
    }
    ConfigStore config(env.defaults(), env.platform());
    VARAConfig hf = config.varaConfig();
    hf.winePath = places::ownWineBinary();
    hf.varaPath = QStringLiteral("C:\\VARA\\VARA.exe");
    config.setVaraConfig(hf);
    config.setRequirePairing(false);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    startHelperAndItsService();
    ASSERT_TRUE(helperPrints(QStringLiteral("HTTP server listening on port"), 20s)) << output.toStdString();
    test::WireClient client;
    ASSERT_TRUE(client.connectTo(quint16(config.apiPort())));
    client.send("POST /services/vara-hf/start HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_TRUE(client.waitForClose(60s)) << "the helper did not answer the start within 60 s";
    const test::WireReply reply = test::WireReply::parse(client.received());
    output += QString::fromUtf8(helper.readAll());
    EXPECT_EQ(reply.statusCode, 200) << reply.body.toStdString() << output.toStdString();
    EXPECT_TRUE(reply.body.contains("\"state\":\"running\"")) << reply.body.toStdString();
    EXPECT_EQ(test::readBytes(launches), QFile::encodeName(modem) + "\n");
    terminateAndExpectNothingLeft();
}

// Homebrew on Linux belongs to whoever installed it: a rigctld that no setting names but the
// look-up finds there, owned by another user, is passed over, and the start says so.
TEST_F(HelperBinaryTest, AnotherUsersProgramFoundByTheLookUpIsNeverRun)
{
    SKIP_UNLESS_ROOT("giving a program to another user");
    constexpr uid_t stranger = 54321;
    const QString ran = env.root() + QStringLiteral("/ran");
    const QString theirs = env.hostPath(QStringLiteral("/home/linuxbrew/.linuxbrew/bin/rigctld"));
    ASSERT_TRUE(test::writeProgram(theirs, "#!/bin/sh\ntouch '" + ran.toUtf8() + "'\nexec sleep 600\n"));
    ASSERT_EQ(::chown(QFile::encodeName(theirs).constData(), stranger, stranger), 0);
    ConfigStore config(env.defaults(), env.platform());
    RigctldConfig rig = config.rigctldConfig();
    rig.rigctldPath.clear();
    config.setRigctldConfig(rig);
    config.setRequirePairing(false);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    start(helper);
    const QString message = QStringLiteral("rigctld at %1 was passed over: it can be changed by another user (the file "
                                           "%1 belongs to another user) \u2014 choose a program only you or root can "
                                           "change")
                                .arg(theirs);
    expectRigctldRefused(quint16(config.apiPort()), message, theirs, ran);
}

// A request logs its info lines; the connection's debug line only appears when the environment
// asks for debug lines.
TEST(HelperBinaryLogTest, RequestsWriteNoDebugLineUnlessAskedFor)
{
    for (const QString &level : {QString(), QStringLiteral("debug")}) {
        SCOPED_TRACE(level.toStdString());
        test::TestPlatform env;
        const quint16 port = test::freeTcpPort();
        ASSERT_NE(port, 0);
        ConfigStore(env.defaults(), env.platform()).setApiPort(port);

        QProcessEnvironment environment = helperEnvironment(env.platform().paths().home(), env.root());
        if (!level.isEmpty()) {
            environment.insert(QStringLiteral("CORDAVELLE_HELPER_LOG_LEVEL"), level);
        }
        QProcess helper;
        ASSERT_TRUE(startHeadless(helper, environment));
        const bool listening = test::processEventsUntil([&] { return test::accepts(port, 100ms); }, 20s);
        QString output;
        if (listening) {
            EXPECT_EQ(test::WireReply::parse(test::exchange(port, "GET /status HTTP/1.1\r\n\r\n")).statusCode, 200);
            EXPECT_TRUE(test::processEventsUntil(
                [&] {
                    output += QString::fromUtf8(helper.readAll());
                    return output.contains(QString::fromUtf8("GET /status \u2192 200"));
                },
                30s))
                << "the helper did not log the request within 30 s: " << output.toStdString();
        }
        ASSERT_TRUE(test::signalChild(helper.processId(), SIGTERM)) << output.toStdString();
        ASSERT_TRUE(helper.waitForFinished(10000));
        output += QString::fromUtf8(helper.readAll());
        ASSERT_TRUE(listening) << output.toStdString();

        EXPECT_TRUE(output.contains(QStringLiteral("info com.cordavelle.helper[HTTPServer] GET /status from 127.0.0.1:")))
            << output.toStdString();
        const bool debugLines = output.contains(QStringLiteral("\ndebug "));
        EXPECT_EQ(debugLines, !level.isEmpty()) << output.toStdString();
        EXPECT_EQ(output.contains(QStringLiteral("debug com.cordavelle.helper[HTTPServer] Connection from 127.0.0.1:")),
                  !level.isEmpty())
            << output.toStdString();
    }
}

// With no scratch folder to be had (the cache's is taken by a file, and the session names no
// runtime folder) the helper still runs its clean-up, serves its API and ends at a SIGTERM.
TEST(HelperScratchTest, WithoutAScratchFolderASigtermStillEndsIt)
{
    test::TestPlatform env;
    const quint16 port = test::freeTcpPort();
    ASSERT_NE(port, 0);
    ConfigStore(env.defaults(), env.platform()).setApiPort(port);
    env.defaults().setObject(QStringLiteral("hasCompletedHelperSetup"), true);
    const QString cache = env.root() + QStringLiteral("/cache");
    ASSERT_TRUE(test::writeFile(cache + QStringLiteral("/cordavelle-helper"), "taken"));

    QProcessEnvironment environment = helperEnvironment(env.platform().paths().home(), env.root());
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), cache);
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    QProcess helper;
    ASSERT_TRUE(startHeadless(helper, environment));
    QString output;
    const bool cleaned = test::processEventsUntil(
        [&] {
            output += QString::fromUtf8(helper.readAll());
            return output.contains(QStringLiteral("[OrphanReaper]"));
        },
        20s);
    EXPECT_TRUE(cleaned) << output.toStdString();
    EXPECT_TRUE(test::processEventsUntil([&] { return test::accepts(port, 100ms); }, 20s)) << output.toStdString();

    const auto pid = static_cast<pid_t>(helper.processId());
    ASSERT_GT(pid, 0);
    test::signalChild(pid, SIGTERM);
    const bool ended = helper.waitForFinished(3000);
    output += QString::fromUtf8(helper.readAll());
    ASSERT_TRUE(ended) << output.toStdString();
    EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(helper.exitCode(), 0) << output.toStdString();
}

// Another user's folder, link or file at the name earlier versions gave the scratch folder in the
// shared temporary folder: the helper neither uses nor touches it, its launch still sweeps what the
// user's earlier run left, and a SIGTERM still ends it at once, with a runtime folder or without.
TEST(HelperScratchTest, AnotherUsersEntryInTheSharedTemporaryFolderStopsNothing)
{
    SKIP_UNLESS_ROOT("giving an entry to another user");
    enum class Entry { folder, link, file };
    for (const Entry entry : {Entry::folder, Entry::link, Entry::file}) {
        for (const bool runtimeFolder : {true, false}) {
            SCOPED_TRACE(testing::Message() << "entry " << int(entry) << (runtimeFolder ? ", runtime folder" : ""));
            test::TestPlatform env;
            const quint16 port = test::freeTcpPort();
            ASSERT_NE(port, 0);
            ConfigStore(env.defaults(), env.platform()).setApiPort(port);
            env.defaults().setObject(QStringLiteral("hasCompletedHelperSetup"), true);

            // The shared temporary folder, open to all as /tmp is; hers is there before the launch.
            const QString shared = env.root() + QStringLiteral("/shared-tmp");
            ASSERT_TRUE(QDir().mkpath(shared));
            ::chmod(QFile::encodeName(shared).constData(), 01777);
            const QByteArray hers = QFile::encodeName(shared + QStringLiteral("/cordavelle-helper-") + QString::number(::geteuid()));
            const QByteArray herTarget = QFile::encodeName(env.root() + QStringLiteral("/hers"));
            ASSERT_EQ(::mkdir(herTarget.constData(), 0700), 0);
            ASSERT_EQ(::chown(herTarget.constData(), test::kOtherUid, test::kOtherUid), 0);
            switch (entry) {
            case Entry::folder:
                ASSERT_EQ(::mkdir(hers.constData(), 0700), 0);
                break;
            case Entry::link:
                ASSERT_EQ(::symlink(herTarget.constData(), hers.constData()), 0);
                break;
            case Entry::file:
                ASSERT_TRUE(test::writeFile(QFile::decodeName(hers), "hers"));
                break;
            }
            ASSERT_EQ(::lchown(hers.constData(), test::kOtherUid, test::kOtherUid), 0);
            // What the user's earlier run left: a folder of a program's start, a cut-short download.
            ASSERT_EQ(::mkdir(QFile::encodeName(shared + QStringLiteral("/cordavelle-exec-Ab12Cd")).constData(), 0700), 0);
            const QString scratch = env.platform().paths().privateTemporary();
            ASSERT_TRUE(scratch.startsWith(env.platform().paths().home())) << scratch.toStdString();
            QFile partial(scratch + QStringLiteral("/wine-stable.tar.xz.download"));
            ASSERT_TRUE(partial.open(QIODevice::WriteOnly));
            ASSERT_TRUE(partial.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
            partial.close();

            QProcessEnvironment environment = helperEnvironment(env.platform().paths().home(), env.root());
            environment.insert(QStringLiteral("TMPDIR"), shared);
            environment.remove(QStringLiteral("XDG_CACHE_HOME"));
            environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
            if (runtimeFolder) {
                const QString runtime = env.root() + QStringLiteral("/runtime");
                ASSERT_TRUE(QDir().mkpath(runtime));
                ::chmod(QFile::encodeName(runtime).constData(), 0700);
                environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
            }
            QProcess helper;
            ASSERT_TRUE(startHeadless(helper, environment));
            QString output;
            const QStringList cleanUp{QStringLiteral("Swept partial download: wine-stable.tar.xz.download"),
                                      QStringLiteral("Removed 1 private folders that an earlier run left in ") + shared,
                                      QStringLiteral("[OrphanReaper]")};
            const bool cleaned = test::processEventsUntil(
                [&] {
                    output += QString::fromUtf8(helper.readAll());
                    return std::all_of(cleanUp.begin(), cleanUp.end(), [&](const QString &line) { return output.contains(line); });
                },
                20s);
            EXPECT_TRUE(cleaned) << output.toStdString();
            EXPECT_TRUE(test::processEventsUntil([&] { return test::accepts(port, 100ms); }, 20s)) << output.toStdString();

            ASSERT_TRUE(test::signalChild(helper.processId(), SIGTERM)) << output.toStdString();
            const bool ended = helper.waitForFinished(3000);
            output += QString::fromUtf8(helper.readAll());
            ASSERT_TRUE(ended) << output.toStdString();
            EXPECT_EQ(helper.exitStatus(), QProcess::NormalExit) << output.toStdString();
            EXPECT_EQ(helper.exitCode(), 0) << output.toStdString();
            EXPECT_FALSE(output.contains(QStringLiteral("not a private folder"))) << output.toStdString();

            // Hers stays as she left it.
            struct stat st {};
            ASSERT_EQ(::lstat(hers.constData(), &st), 0);
            EXPECT_EQ(st.st_uid, test::kOtherUid);
            EXPECT_TRUE(QDir(QFile::decodeName(herTarget)).isEmpty());
        }
    }
}


// The socket's name, as any user can compute it from the preferences folder.
QString instanceSocketName(const QString &preferences)
{
    return QStringLiteral("cordavelle-helper-") +
           QString::fromLatin1(QCryptographicHash::hash(preferences.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
}

// The helper run by a desktop user (umask 002) with another user beside her: her listener at the
// socket's name in an open runtime folder, or her folder or her link to an open folder where a
// socket without a runtime folder used to go, stops no launch. The first serves its API, the
// user's second launch hands over to it and ends, and what is hers stays as it was.
TEST(HelperInstanceTest, AnotherUsersSocketOrFolderStopsNoLaunchAndTheUsersSecondLaunchHandsOver)
{
    SKIP_UNLESS_ROOT("running the helper as a user with another user beside her");
    constexpr uid_t user = test::kOtherUid + 1;
    enum class Hers { nothing, listener, folder, link };
    struct Case {
        const char *what;
        mode_t runtimeMode; // 0: the session names none
        Hers hers;
    };
    const Case cases[] = {
        {"the user's own runtime folder", 0700, Hers::nothing},
        {"her listener in an open runtime folder", 0777, Hers::listener},
        {"her listener in an open sticky runtime folder", 01777, Hers::listener},
        {"no runtime folder and her folder at the fallback's name", 0, Hers::folder},
        {"no runtime folder and her link to an open folder at the fallback's name", 0, Hers::link},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        test::TestPlatform env;
        const quint16 port = test::freeTcpPort();
        ASSERT_NE(port, 0);
        ConfigStore(env.defaults(), env.platform()).setApiPort(port);
        env.defaults().setObject(QStringLiteral("hasCompletedHelperSetup"), true);
        const QString root = env.root();
        const QString home = env.platform().paths().home();
        ASSERT_EQ(::chmod(QFile::encodeName(root).constData(), 0755), 0);
        QDirIterator inHome(home, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
        for (QString entry = home; !entry.isEmpty(); entry = inHome.hasNext() ? inHome.next() : QString()) {
            ASSERT_EQ(::lchown(QFile::encodeName(entry).constData(), user, user), 0) << entry.toStdString();
        }
        const QString shared = root + QStringLiteral("/shared-tmp");
        ASSERT_TRUE(QDir().mkpath(shared));
        ::chmod(QFile::encodeName(shared).constData(), 01777);
        const QString hersOpen = root + QStringLiteral("/hers");
        ASSERT_TRUE(QDir().mkpath(hersOpen));
        ::chmod(QFile::encodeName(hersOpen).constData(), 01777);
        ASSERT_EQ(::chown(QFile::encodeName(hersOpen).constData(), test::kOtherUid, test::kOtherUid), 0);

        QProcessEnvironment environment = helperEnvironment(home, root);
        environment.insert(QStringLiteral("TMPDIR"), shared);
        environment.remove(QStringLiteral("XDG_CACHE_HOME"));
        environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        QString preferences = env.platform().paths().preferences();
        QString hersAt;
        std::optional<test::OtherUserListener> listener;
        if (c.runtimeMode != 0) {
            const QByteArray runtime = QFile::encodeName(root + QStringLiteral("/runtime"));
            ASSERT_EQ(::mkdir(runtime.constData(), 0700), 0);
            ASSERT_EQ(::chown(runtime.constData(), user, user), 0);
            ASSERT_EQ(::chmod(runtime.constData(), c.runtimeMode), 0);
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), QFile::decodeName(runtime));
            hersAt = QFile::decodeName(runtime) + QLatin1Char('/') + instanceSocketName(preferences);
        } else {
            // A settings path too long for a socket's address, through a link to the real one.
            const QString config = root + QLatin1Char('/') + QString(90, QLatin1Char('c'));
            ASSERT_TRUE(QFile::link(home + QStringLiteral("/.config"), config));
            environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
            preferences = config + QStringLiteral("/cordavelle-helper");
            const passwd *account = ::getpwuid(user);
            hersAt = shared + QStringLiteral("/runtime-") + QString::fromLocal8Bit(account ? account->pw_name : "");
        }
        switch (c.hers) {
        case Hers::nothing:
            break;
        case Hers::listener:
            listener.emplace(hersAt);
            ASSERT_TRUE(listener->listening());
            break;
        case Hers::folder:
            ASSERT_EQ(::mkdir(QFile::encodeName(hersAt).constData(), 0777), 0);
            ASSERT_EQ(::chmod(QFile::encodeName(hersAt).constData(), 0777), 0);
            break;
        case Hers::link:
            ASSERT_TRUE(QFile::link(hersOpen, hersAt));
            break;
        }
        if (c.hers != Hers::nothing) {
            ASSERT_EQ(::lchown(QFile::encodeName(hersAt).constData(), test::kOtherUid, test::kOtherUid), 0);
        }

        const auto asTheUser = [] {
            ::umask(002);
            if (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0 || ::setresuid(user, user, user) != 0) {
                ::_exit(127);
            }
        };
        QProcess first;
        first.setChildProcessModifier(asTheUser);
        ASSERT_TRUE(startHeadless(first, environment));
        QString output;
        const auto firstPrints = [&](const QString &line) {
            return test::processEventsUntil(
                [&] { return (output += QString::fromUtf8(first.readAll())).contains(line); }, 20s);
        };
        EXPECT_TRUE(firstPrints(QStringLiteral("HTTP server listening on port %1").arg(port))) << output.toStdString();
        // Served to the user's own client; another user's would get nothing at all.
        test::OtherUserClient client(QHostAddress(QHostAddress::LocalHost), port,
                                     "GET /status HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", user);
        EXPECT_GT(client.bytesReceived().value_or(0), 0) << output.toStdString();

        QProcess second;
        second.setChildProcessModifier(asTheUser);
        ASSERT_TRUE(startHeadless(second, environment));
        const bool secondEnded = second.waitForFinished(20000);
        const QString secondOutput = QString::fromUtf8(second.readAll());
        EXPECT_TRUE(secondEnded) << secondOutput.toStdString();
        EXPECT_EQ(second.exitCode(), 0) << secondOutput.toStdString();
        EXPECT_TRUE(secondOutput.contains(QStringLiteral("already running"))) << secondOutput.toStdString();
        EXPECT_TRUE(firstPrints(QStringLiteral("Another launch asked for a window"))) << output.toStdString();

        // A first helper that has already ended is a failure of this test, never a signal to
        // another process.
        ASSERT_TRUE(test::signalChild(first.processId(), SIGTERM)) << output.toStdString();
        const bool ended = first.waitForFinished(10000);
        output += QString::fromUtf8(first.readAll());
        EXPECT_TRUE(ended) << output.toStdString();
        EXPECT_EQ(first.exitCode(), 0) << output.toStdString();
        test::killProcess(second);

        // Hers stays as she left it.
        if (c.hers != Hers::nothing) {
            struct stat st {};
            ASSERT_EQ(::lstat(QFile::encodeName(hersAt).constData(), &st), 0);
            EXPECT_EQ(st.st_uid, test::kOtherUid);
            EXPECT_EQ(st.st_mode & S_IFMT, c.hers == Hers::listener ? S_IFSOCK : c.hers == Hers::link ? S_IFLNK : S_IFDIR);
            if (c.hers != Hers::listener) {
                EXPECT_TRUE(QDir(c.hers == Hers::link ? hersOpen : hersAt).isEmpty());
            }
        }
    }
}

} // namespace
} // namespace cordavelle
