// The start paths against the real rigctld and Direwolf, and VARA against a stand-in Wine that
// plays the modem on its fixed command port. Tools the orchestrator runs to clear strays (pkill,
// lsof, wineserver) only go to the command-runner double.

#include "base/helper_places.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "platform/paths.h"
#include "radio/audio_device_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"
#include "radio/vara_config_manager.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/fixed_port_lock.h"
#include "support/local_ports.h"
#include "support/needs_root.h"
#include "support/orchestrator_fixture.h"
#include "support/other_user_client.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"
#include "support/vara_modem_stand_in.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include <unistd.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

QString systemTool(const QString &name)
{
    const QString path = SystemToolLocator().resolve(QStringLiteral("/usr/bin/") + name);
    return QFileInfo(path).isExecutable() ? path : QString();
}

class ServiceStartPathsTest : public test::OrchestratorTest {
protected:
    ~ServiceStartPathsTest() override { shutDown(); }

    // Real time: real programs are starting.
    void startAndExpectRunning(ServiceID id)
    {
        auto outcome = start(id);
        ASSERT_TRUE(test::processEventsUntil([&] { return outcome->done; }, 30s));
        ASSERT_FALSE(outcome->error) << outcome->error->toStdString();
        ASSERT_EQ(orchestrator->process(id).state(), ServiceRunState::running)
            << orchestrator->process(id).logLines().join('\n').toStdString();
    }

    void stopAllAndExpectNothingLeft()
    {
        auto outcome = test::track(orchestrator->stopAllServices());
        ASSERT_TRUE(test::processEventsUntil([&] { return outcome->done; }, 10s));
        EXPECT_TRUE(test::processEventsUntil([&] { return children.allEnded(); }, 5s));
        for (ServiceID id : allCases<ServiceID>()) {
            EXPECT_EQ(orchestrator->process(id).state(), ServiceRunState::stopped) << toRaw(id).toStdString();
        }
    }

    QString writeScript(const QString &name, const QByteArray &text)
    {
        const QString path = env.root() + QLatin1Char('/') + name;
        EXPECT_TRUE(test::writeProgram(path, text));
        return path;
    }

    // A Direwolf of the test's ports without a sound card: audio comes in over UDP (the device
    // "udp:<port>") and goes nowhere.
    DirewolfConfig direwolfOnUdp(const QString &direwolf)
    {
        const QString input = QStringLiteral("udp:%1").arg(test::freeUdpPort());
        env.audio().add(1, input, input, QStringLiteral("test"), 1, 0);
        env.audio().add(2, QStringLiteral("null"), QStringLiteral("null"), QStringLiteral("test"), 0, 1);
        audio.refreshDevices();
        DirewolfConfig dw;
        dw.callsign = QStringLiteral("N0CALL");
        dw.direwolfPath = direwolf;
        std::tie(dw.kissPort, dw.agwPort) = test::twoFreeTcpPorts();
        dw.audioDevice = DirewolfAudioDevice::custom;
        dw.customAudioDeviceUID = input;
        dw.customAudioOutputUID = QStringLiteral("null");
        return dw;
    }

    RigctldConfig rigctldConfig(const QString &rigctld)
    {
        RigctldConfig config;
        config.rigctldPath = rigctld;
        config.tcpPort = test::freeTcpPort();
        return config;
    }

    // Released only after the destructor has ended every child.
    std::optional<test::FixedPortLock> portLock;
};

TEST_F(ServiceStartPathsTest, DummyRigctldRunsAnswersAndLeavesNothingBehind)
{
    const QString rigctld = systemTool(QStringLiteral("rigctld"));
    if (rigctld.isEmpty()) {
        GTEST_SKIP() << "rigctld is not installed";
    }
    env.useSystemClock();
    watchChildren();
    const RigctldConfig rig = rigctldConfig(rigctld);
    config.setRigctldConfig(rig);

    startAndExpectRunning(ServiceID::rigctld);
    EXPECT_TRUE(test::accepts(rig.tcpPort));
    EXPECT_TRUE(env.commands().journal.contains("/usr/bin/pkill -9 -e -x -U " + QString::number(::getuid()) + " rigctld"));
    const QString command = QStringLiteral("[rigctld] Starting: %1 -m 1 -T 127.0.0.1 -t %2 -vvvv").arg(rigctld, QString::number(rig.tcpPort));
    EXPECT_TRUE(env.log().contains(command));
    EXPECT_TRUE(orchestrator->rigctldProcess().logLines().contains(command));

    stopAllAndExpectNothingLeft();
    EXPECT_FALSE(test::accepts(rig.tcpPort));
}

// rigctld takes one address: the IPv6 loopback it leaves open is the helper's while it runs, so a
// client that tries ::1 first is refused there and goes on to rigctld, and nobody else can bind
// it; a stop or an end of rigctld lets go of it. With network access rigctld takes both families.
TEST_F(ServiceStartPathsTest, TheOtherFamilyIsHeldWhileRigctldRunsAndLetGoWhenItEnds)
{
    const QString rigctld = systemTool(QStringLiteral("rigctld"));
    if (rigctld.isEmpty()) {
        GTEST_SKIP() << "rigctld is not installed";
    }
    env.useSystemClock();
    watchChildren();
    const RigctldConfig rig = rigctldConfig(rigctld);
    config.setRigctldConfig(rig);
    const quint16 port = static_cast<quint16>(rig.tcpPort);
    const QHostAddress loopback6(QHostAddress::LocalHostIPv6);
    ManagedProcess &process = orchestrator->rigctldProcess();
    for (const bool crash : {false, true}) {
        SCOPED_TRACE(crash ? "crash" : "stop");
        startAndExpectRunning(ServiceID::rigctld);
        EXPECT_TRUE(test::accepts(port));
        EXPECT_FALSE(test::accepts(port, 1000ms, loopback6));
        EXPECT_FALSE(test::bindable(loopback6, port));
        if (test::OtherUserClient::canStart()) {
            EXPECT_FALSE(test::OtherUserListener(port, loopback6).listening());
            EXPECT_FALSE(test::OtherUserListener(port, QHostAddress(QHostAddress::AnyIPv6)).listening());
        }
        if (crash) {
            ASSERT_TRUE(test::signalChild(process.pid(), SIGKILL));
        } else {
            orchestrator->stopService(ServiceID::rigctld);
        }
        ASSERT_TRUE(test::processEventsUntil([&] { return !process.pid(); }, 5s));
        EXPECT_TRUE(test::bindable(loopback6, port));
    }

    config.setAllowNetworkAccess(true);
    startAndExpectRunning(ServiceID::rigctld);
    EXPECT_TRUE(process.lastLaunchCommand()->contains(QStringLiteral(" -T :: ")));
    EXPECT_TRUE(test::accepts(port, 1000ms, loopback6));
    EXPECT_TRUE(test::accepts(port));
    EXPECT_FALSE(test::bindable(QHostAddress(QHostAddress::AnyIPv6), port));
    EXPECT_FALSE(test::bindable(QHostAddress(QHostAddress::AnyIPv4), port));
    // Taken away and allowed again before a restart: rigctld still listens on every address
    // itself, which is no program to be kept off it.
    config.setAllowNetworkAccess(false);
    config.setAllowNetworkAccess(true);
    EXPECT_TRUE(env.log().messages().filter(QStringLiteral("can't be held")).isEmpty())
        << env.log().messages().filter(QStringLiteral("can't be held")).join('\n').toStdString();
    stopAllAndExpectNothingLeft();
    SKIP_UNLESS_ROOT("the rows with another user's listener");
}

TEST_F(ServiceStartPathsTest, DirewolfOnUdpAudioServesKissAndAgwAndBringsItsRigctld)
{
    const QString direwolf = systemTool(QStringLiteral("direwolf"));
    const QString rigctld = systemTool(QStringLiteral("rigctld"));
    if (direwolf.isEmpty() || rigctld.isEmpty()) {
        GTEST_SKIP() << "direwolf or rigctld is not installed";
    }
    env.useSystemClock();
    watchChildren();
    DirewolfConfig dw = direwolfOnUdp(direwolf);

    const RigctldConfig rig = rigctldConfig(rigctld);
    config.setRigctldConfig(rig);
    dw.pttMethod = DirewolfPTTMethod::rigctld();
    config.setDirewolfConfig(dw);

    startAndExpectRunning(ServiceID::direwolf);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);
    EXPECT_TRUE(test::accepts(dw.kissPort));
    EXPECT_TRUE(test::accepts(dw.agwPort));
    EXPECT_TRUE(env.log().contains(QStringLiteral("[Direwolf] Running on KISS port %1, AGW port %2").arg(dw.kissPort).arg(dw.agwPort)));
    QFile conf(places::supportFolder() + QStringLiteral("/direwolf.conf"));
    ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(conf.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("ADEVICE ") + dw.customAudioDeviceUID + QStringLiteral(" null"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("PTT RIG 2 127.0.0.1:%1").arg(rig.tcpPort))) << text.toStdString();
    // Direwolf listens on IPv4 alone; the IPv6 loopback is the helper's meanwhile.
    const QHostAddress loopback6(QHostAddress::LocalHostIPv6);
    for (const int port : {dw.kissPort, dw.agwPort}) {
        EXPECT_FALSE(test::accepts(port, 1000ms, loopback6));
        EXPECT_FALSE(test::bindable(loopback6, static_cast<quint16>(port)));
    }

    stopAllAndExpectNothingLeft();
    EXPECT_FALSE(test::accepts(dw.kissPort));
    EXPECT_TRUE(test::bindable(loopback6, static_cast<quint16>(dw.agwPort)));
}

// Direwolf cuts a configuration path given to it at 99 characters, and a home as deep as this
// one puts the helper's well past that.
TEST_F(ServiceStartPathsTest, DirewolfStartsUnderADeepHome)
{
    const QString direwolf = systemTool(QStringLiteral("direwolf"));
    if (direwolf.isEmpty()) {
        GTEST_SKIP() << "direwolf is not installed";
    }
    env.platform().setPaths(std::make_shared<RootedPaths>(env.root() + QStringLiteral("/deep/") + QString(100, u'd')));
    env.useSystemClock();
    watchChildren();
    DirewolfConfig dw = direwolfOnUdp(direwolf);
    config.setDirewolfConfig(dw);

    startAndExpectRunning(ServiceID::direwolf);
    EXPECT_TRUE(QFileInfo::exists(places::supportFolder() + QStringLiteral("/direwolf.conf")));
    EXPECT_TRUE(test::accepts(dw.kissPort));
    stopAllAndExpectNothingLeft();
}

// Direwolf looks in the home folder for a configuration named without a folder that it can't
// find where it runs: with the helper's gone by the time it reads it, the one in the home is
// still not read.
TEST_F(ServiceStartPathsTest, DirewolfNeverReadsAConfigurationInTheHome)
{
    const QString direwolf = systemTool(QStringLiteral("direwolf"));
    if (direwolf.isEmpty()) {
        GTEST_SKIP() << "direwolf is not installed";
    }
    env.useSystemClock();
    watchChildren();
    DirewolfConfig dw = direwolfOnUdp(direwolf);
    // One that would serve the ports asked for.
    const QString home = env.platform().paths().home();
    ASSERT_TRUE(test::writeFile(home + QStringLiteral("/direwolf.conf"),
                                QStringLiteral("ADEVICE %1 null\nKISSPORT %2\nAGWPORT %3\nMYCALL N0CALL\n")
                                    .arg(dw.customAudioDeviceUID)
                                    .arg(dw.kissPort)
                                    .arg(dw.agwPort)
                                    .toUtf8()));
    const QString removed = env.root() + QStringLiteral("/conf-removed");
    dw.direwolfPath = writeScript(QStringLiteral("direwolf"),
                                  "#!/bin/sh\nrm direwolf.conf && : > '" + removed.toUtf8() + "' || exit 9\nHOME='" +
                                      home.toUtf8() + "' exec '" + direwolf.toUtf8() + "' \"$@\"\n");
    config.setDirewolfConfig(dw);

    auto outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(test::processEventsUntil([&] { return outcome->done; }, 30s));
    ASSERT_TRUE(QFileInfo::exists(removed));
    ManagedProcess &process = orchestrator->direwolfProcess();
    EXPECT_NE(process.state(), ServiceRunState::running);
    EXPECT_TRUE(process.logLines().filter(home + QStringLiteral("/direwolf.conf")).isEmpty())
        << process.logLines().join('\n').toStdString();
    EXPECT_FALSE(test::accepts(dw.kissPort));
    EXPECT_TRUE(test::processEventsUntil([&] { return children.allEnded(); }, 5s));
}

// Direwolf stays up when another program holds its KISS port: another user's listener that came
// after the check before the launch (here while the helper reaps the port) fails the start, and
// the Direwolf that could not bind it is stopped.
TEST_F(ServiceStartPathsTest, DirewolfWhoseKissPortAnotherUserTookAfterTheCheckFailsItsStart)
{
    const QString direwolf = systemTool(QStringLiteral("direwolf"));
    if (direwolf.isEmpty()) {
        GTEST_SKIP() << "direwolf is not installed";
    }
    SKIP_UNLESS_ROOT("listening as another user");
    env.useSystemClock();
    watchChildren();
    DirewolfConfig dw = direwolfOnUdp(direwolf);
    config.setDirewolfConfig(dw);
    std::optional<test::OtherUserListener> theirs;
    env.commands().respond("lsof", [&](const Command &) {
        if (!theirs) {
            theirs.emplace(static_cast<quint16>(dw.kissPort));
        }
        return CommandResult::exited(1);
    });

    auto outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(test::processEventsUntil([&] { return outcome->done; }, 30s));
    ASSERT_TRUE(theirs && theirs->listening());
    const QString error = QStringLiteral("Direwolf's KISS port %1 is in use by another user's program \u2014 choose "
                                         "another port")
                              .arg(dw.kissPort);
    ManagedProcess &process = orchestrator->direwolfProcess();
    EXPECT_EQ(process.state(), ServiceRunState::error) << process.logLines().join('\n').toStdString();
    EXPECT_EQ(process.lastError(), error);
    EXPECT_EQ(process.pid(), std::nullopt);
    EXPECT_TRUE(test::processEventsUntil([&] { return children.allEnded(); }, 5s));
    EXPECT_TRUE(env.log().messages().filter(QStringLiteral("Running on KISS port")).isEmpty());
}

// VARA's command port is fixed, so every case here owns 8300 while it runs, against the tests
// of other runs on this machine too.
class VARAStartPathTest : public ServiceStartPathsTest {
protected:
    void SetUp() override
    {
        portLock.emplace(quint16(commandPort(VARAVariant::hf)));
        ASSERT_TRUE(portLock->held()) << "port 8300 stayed taken by another test";
    }

    VARAStartPathTest()
    {
        // A wine server whose runs the double records.
        EXPECT_TRUE(test::writeProgram(env.hostPath(QStringLiteral("/usr/local/bin/wineserver"))));

        launches = env.root() + QStringLiteral("/launches");
        EXPECT_TRUE(test::writeProgram(modemProgram, "MZ", false));
        VARAConfig hf;
        hf.varaPath = QStringLiteral("C:\\VARA\\VARA.exe");
        config.setVaraConfig(hf);
    }

    // A stand-in for wine: notes each launch with its modem argument and environment, waits
    // `delay` seconds, then (when `answers`) plays a modem that replies to every command.
    void useWine(const QString &delay, bool answers, const QString &exitCode = {})
    {
        const QString modem = answers ? test::perlVaraModem() : QString();
        const QString ending = exitCode.isEmpty() ? QStringLiteral("sleep 600;") : QStringLiteral("exit ") + exitCode + ';';
        const QString logged = QStringLiteral(R"("$ARGV[0] WINEPREFIX=$ENV{WINEPREFIX} WINEDEBUG=" . ($ENV{WINEDEBUG} // '') . "\n")");
        const QByteArray script = test::perlWineScript(
            launches, logged, QStringLiteral("select(undef, undef, undef, %1);\n%2\n%3\n").arg(delay, modem, ending));
        VARAConfig hf = config.varaConfig();
        hf.winePath = writeScript(QStringLiteral("wine"), script);
        config.setVaraConfig(hf);
    }

    QStringList launchLines()
    {
        QFile file(launches);
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    }

    int wineserverRuns() { return static_cast<int>(env.commands().callsOf(QStringLiteral("wineserver")).size()); }

    QString launches;
    // Where Wine finds C:\VARA\VARA.exe, and what it is given.
    const QString modemProgram = places::winePrefix() + QStringLiteral("/drive_c/VARA/VARA.exe");
};

TEST_F(VARAStartPathTest, ModemAnsweringAfterADelayIsReadyOnTheFirstAttemptWithItsIniRepaired)
{
    env.useSystemClock();
    watchChildren();
    useWine(QStringLiteral("1.0"), true);
    const QString ini = VARAConfigManager::iniPath(VARAVariant::hf);
    QDir().mkpath(QFileInfo(ini).path());
    QFile file(ini);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Soundcard]\r\nInput Device Name=Mic\r\nOutput Device Name=Spk\r\n[Setup]\r\nTCP Command Port=8400\r\n");
    file.close();

    startAndExpectRunning(ServiceID::varaHF);
    EXPECT_EQ(launchLines(),
              QStringList{QStringLiteral("%1 WINEPREFIX=%2 WINEDEBUG=").arg(modemProgram, places::winePrefix())});
    EXPECT_TRUE(env.log().contains(QString::fromUtf8("[VARA] hf: ini self-heal \u2014 port 8400 \u2192 8300")));
    EXPECT_TRUE(env.log().contains("[VARA] hf: READY after attempt 1, state=running"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().contains("TCP Command Port=8300\r\n"));
    EXPECT_EQ(wineserverRuns(), 1);

    stopAllAndExpectNothingLeft();
}

TEST_F(VARAStartPathTest, SilentModemCostsThreeLaunchesAndEndsAsAFailedStart)
{
    watchChildren();
    useWine(QStringLiteral("0"), false);
    VARAConfig hf = config.varaConfig();
    hf.audioDebugEnabled = true;
    config.setVaraConfig(hf);
    // Whether the IPv6 loopback of both modem ports is still the helper's each time an attempt's
    // child is gone: the start holds them until its own end.
    std::vector<bool> heldAfterAnAttempt;
    std::shared_ptr<test::TaskOutcome> outcome;
    QObject watch;
    QObject::connect(&orchestrator->varaProcess(), &ManagedProcess::stateChanged, &watch, [&] {
        if (orchestrator->varaProcess().state() == ServiceRunState::stopped && outcome && !outcome->done) {
            const QHostAddress loopback6(QHostAddress::LocalHostIPv6);
            heldAfterAnAttempt.push_back(!test::bindable(loopback6, 8300) && !test::bindable(loopback6, 8301));
        }
    });

    outcome = start(ServiceID::varaHF);
    // Virtual time runs on while a probe's thread starts, so it may pass a deadline in between.
    ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 24h, 30s));
    EXPECT_FALSE(outcome->error);
    // Virtual time outruns the stand-in here, so the launches are counted on the helper's side.
    EXPECT_EQ(env.log().messages().filter(QStringLiteral("[VARA] hf: process launched, pid=")).size(), 3);
    EXPECT_TRUE(env.log().contains(QString::fromUtf8("[VARA] hf: audio debug mode ON \u2014 WINEDEBUG=+mmdevapi,+dsound,+wave")));
    const QString message = QStringLiteral("VARA did not respond on port 8300 after 3 attempts (20s each). Check Wine and "
                                           "VARA installation.");
    EXPECT_EQ(orchestrator->varaProcess().lastError(), message);
    EXPECT_TRUE(env.log().contains(QString::fromUtf8("[VARA] hf: FAILED \u2014 ") + message));
    EXPECT_TRUE(env.log().contains("[VARA] hf: not responding after 20s (attempt 3/3)"));
    EXPECT_TRUE(env.log().contains("[VARA] hf: retry attempt 3/3, waiting 3s..."));
    // Before every attempt, and once more at the end.
    EXPECT_EQ(wineserverRuns(), 4);
    EXPECT_FALSE(heldAfterAnAttempt.empty());
    EXPECT_EQ(heldAfterAnAttempt, std::vector<bool>(heldAfterAnAttempt.size(), true));
    const auto &sleeps = env.clock().sleepLog();
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 3000ms), 2);
    // Read as a start that failed, as rigctld and Direwolf read when theirs does.
    EXPECT_EQ(orchestrator->varaProcess().state(), ServiceRunState::error);
    EXPECT_EQ(orchestrator->varaProcess().lastError(), message);
}

TEST_F(VARAStartPathTest, WineThatCannotRunOrEndsEarlyNeverCountsAsReady)
{
    watchChildren();
    // A Wine that can't be run at all: three failed launches, still no error for the caller.
    VARAConfig hf = config.varaConfig();
    hf.winePath = env.root() + QStringLiteral("/no-such-wine");
    config.setVaraConfig(hf);
    auto outcome = start(ServiceID::varaHF);
    ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 30s));
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(orchestrator->varaProcess().state(), ServiceRunState::error);
    EXPECT_TRUE(orchestrator->varaProcess().lastError().value_or(QString()).startsWith("Failed to launch: "));
    EXPECT_TRUE(env.log().contains("[VARA] hf: retry attempt 3/3, waiting 3s..."));

    // A Wine that ends at once: each attempt gives up on its own launch without waiting 20 s.
    env.useSystemClock();
    useWine(QStringLiteral("0"), false, QStringLiteral("3"));
    outcome = start(ServiceID::varaHF);
    ASSERT_TRUE(test::processEventsUntil([&] { return outcome->done; }, 30s));
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(launchLines().size(), 3);
    EXPECT_NE(orchestrator->varaProcess().state(), ServiceRunState::running);
    EXPECT_TRUE(env.log().contains("[VARA] hf: process ended while waiting for port 8300 (attempt 1/3): Process exited "
                                   "with code 3"));
    EXPECT_FALSE(env.log().contains("READY"));
}

} // namespace
} // namespace cordavelle
