// Direwolf's start path: its PTT through rigctld, its two ports, and its restart for a new
// rig-control server, with stand-in programs and the test's clock.

#include "start_paths_fixture.h"

#include "radio/direwolf_config_manager.h"
#include "radio/rig_control_server_discovery.h"

#include "support/child_processes.h"
#include "support/event_wait.h"

#include <QFile>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>

#include <csignal>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using test::StartPathsTest;

TEST_F(StartPathsTest, DirewolfStartsWithoutWorkingPttWhenItsDependencyIsMissing)
{
    DirewolfConfig dw = direwolf(listening(QStringLiteral("direwolf")));
    dw.pttMethod = DirewolfPTTMethod::rigctld();
    config.setDirewolfConfig(dw);
    auto outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
    EXPECT_EQ(outcome->error, std::nullopt);
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);
    EXPECT_TRUE(env.log().contains(QString::fromUtf8("[Direwolf] rigctld auto-start failed \u2014 PTT will not key: rigctld not found")));
    EXPECT_TRUE(orchestrator->direwolfProcess().logLines().filter("WARNING: PTT via rigctld requested but rigctld failed "
                                                                  "to start (rigctld not found)").size() == 1);

    orchestrator->stopService(ServiceID::direwolf);
    ASSERT_TRUE(env.clock().runUntil([&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, 5s));
    dw.pttMethod = DirewolfPTTMethod::nativeCorvexa();
    dw.nativeRigControlRadioName = QStringLiteral(" IC-7300\t");
    config.setDirewolfConfig(dw);
    const auto began = env.clock().now();
    QFile::remove(ready);
    outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
    EXPECT_EQ(outcome->error, std::nullopt);
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);
    EXPECT_GE(env.clock().now() - began, ServiceOrchestrator::kRigControlServerWait);
    EXPECT_EQ(keepalive.advertisedRadioName(), "IC-7300");
    EXPECT_TRUE(env.log().contains("no Cordavelle RigControlServer advertisement after 3s"));
    EXPECT_EQ(orchestrator->direwolfProcess().logLines().filter("Make sure Cordavelle is running with 'IC-7300' "
                                                                "configured as a Native-source radio").size(),
              1);
    EXPECT_EQ(linesContaining(QStringLiteral("[Direwolf] Running on KISS port %1, AGW port %2").arg(dw.kissPort).arg(dw.agwPort)), 2);

    // A server that turns up during the wait with nothing listening is passed over, and the
    // keep-alive request made for it is withdrawn.
    orchestrator->stopService(ServiceID::direwolf);
    ASSERT_TRUE(env.clock().runUntil([&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, 5s));
    discovery.startBrowsing();
    // Bound, never listened on, and shared with nobody: a free port picked and let go could be a
    // listener of another test run of this user's by the time the server is looked at.
    QTcpSocket unlistened;
    unlistened.setProxy(QNetworkProxy::NoProxy);
    ASSERT_TRUE(unlistened.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress));
    const quint16 silent = unlistened.localPort();
    ASSERT_FALSE(test::bindable(QHostAddress::LocalHost, silent));
    QFile::remove(ready);
    outcome = test::track(orchestrator->startService(ServiceID::direwolf));
    ASSERT_TRUE(env.clock().runUntil([&] { return keepalive.advertisedRadioName().has_value(); }, 1s));
    env.bonjour().setResults(RigControlServerDiscovery::kServiceType,
                             {test::FakeBonjour::result(QStringLiteral("server"), RigControlServerDiscovery::kServiceType,
                                                        BonjourTxtRecord({{"radio", "IC-7300"},
                                                                          {"port", QString::number(silent)}}))});
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
    EXPECT_TRUE(env.log().contains(QStringLiteral("at 127.0.0.1:%1 has nothing listening").arg(silent)));
    EXPECT_EQ(keepalive.advertisedRadioName(), std::nullopt);
    QFile conf(DirewolfConfigManager::configPath());
    ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
    EXPECT_FALSE(conf.readAll().contains("PTT RIG"));

    // A request that could not be published says so in Direwolf's log, and a start that fails
    // withdraws the request it made.
    orchestrator->stopService(ServiceID::direwolf);
    ASSERT_TRUE(env.clock().runUntil([&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, 5s));
    env.bonjour().setResults(RigControlServerDiscovery::kServiceType, {});
    env.bonjour().failNextAdvertisement(QStringLiteral("the name is already taken"));
    QFile::remove(ready);
    outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
    EXPECT_EQ(orchestrator->direwolfProcess().logLines().filter("keep-alive request for radio 'IC-7300' could not be "
                                                                "published (the name is already taken)").size(),
              1);
    EXPECT_EQ(keepalive.advertisedRadioName(), std::nullopt);
    orchestrator->stopService(ServiceID::direwolf);
    ASSERT_TRUE(env.clock().runUntil([&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, 5s));
    dw.direwolfPath = file(QStringLiteral("direwolf-exits"), "#!/bin/sh\nexit 1\n");
    config.setDirewolfConfig(dw);
    outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, {}));
    EXPECT_NE(orchestrator->direwolfProcess().state(), ServiceRunState::running);
    EXPECT_TRUE(env.log().contains("withdrawing the keep-alive request"));
    EXPECT_EQ(keepalive.advertisedRadioName(), std::nullopt);
    EXPECT_EQ(env.bonjour().advertisements().size(), 0u);
}

// Direwolf opens its KISS and AGW ports from two threads: a client told it runs may connect to
// either at once, so it runs only once both listen.
TEST_F(StartPathsTest, DirewolfRunsOnlyOnceItsAgwPortListensAsWellAsItsKissPort)
{
    env.useSystemClock();
    const QString agwOpens = env.root() + QStringLiteral("/agw-opens");
    DirewolfConfig dw;
    std::tie(dw.kissPort, dw.agwPort) = test::twoFreeTcpPorts();
    const QByteArray program = "#!/usr/bin/python3\n"
                               "import os, socket, time\n"
                               "def listen(port):\n"
                               "    s = socket.socket()\n"
                               "    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                               "    s.bind(('127.0.0.1', port))\n"
                               "    s.listen(4)\n"
                               "    return s\n"
                               "kiss = listen(" + QByteArray::number(dw.kissPort) + ")\n"
                               "while not os.path.exists('" + agwOpens.toUtf8() + "'):\n"
                               "    time.sleep(0.02)\n"
                               "agw = listen(" + QByteArray::number(dw.agwPort) + ")\n"
                               "time.sleep(600)\n";
    const DirewolfConfig stored = direwolf(file(QStringLiteral("direwolf"), program));
    dw.callsign = stored.callsign;
    dw.direwolfPath = stored.direwolfPath;
    config.setDirewolfConfig(dw);

    auto outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(test::processEventsUntil([&] { return test::accepts(dw.kissPort, 50ms); }, 5s));
    EXPECT_FALSE(test::processEventsUntil(
        [&] { return orchestrator->direwolfProcess().state() != ServiceRunState::starting; }, 1s));
    ASSERT_TRUE(test::writeFile(agwOpens, ""));
    ASSERT_TRUE(test::processEventsUntil([&] { return outcome->done; }, 5s));
    EXPECT_EQ(outcome->error, std::nullopt);
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);
    EXPECT_TRUE(test::accepts(dw.agwPort));
}

// A port stored while rigctld runs is not where it listens: Direwolf keys through the running one.
TEST_F(StartPathsTest, DirewolfKeysThroughThePortTheRunningRigctldListensOn)
{
    RigctldConfig rig;
    rig.rigctldPath = listening(QStringLiteral("rigctld"));
    rig.tcpPort = test::freeTcpPort();
    config.setRigctldConfig(rig);
    auto rigctld = start(ServiceID::rigctld);
    ASSERT_TRUE(runUntilSettled(ServiceID::rigctld, [&] { return rigctld->done; }, test::standInReady(ready)));
    ASSERT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);
    const int running = rig.tcpPort;
    rig.tcpPort = test::freeTcpPort();
    config.setRigctldConfig(rig);

    const QString direwolfReady = env.root() + QStringLiteral("/direwolf-listening");
    DirewolfConfig dw = direwolf(file(QStringLiteral("direwolf"), test::listeningStandIn(direwolfReady)));
    dw.pttMethod = DirewolfPTTMethod::rigctld();
    config.setDirewolfConfig(dw);
    auto outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(direwolfReady)));
    ASSERT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);
    QFile conf(DirewolfConfigManager::configPath());
    ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(conf.readAll().contains("PTT RIG 2 127.0.0.1:" + QByteArray::number(running)));
}

TEST_F(StartPathsTest, ARigctldStartedForDirewolfOutlivesAStopOfDirewolfDuringItsStart)
{
    // Ports of its own: a listener on rigctld's default port (a rigctld run by anyone on this
    // machine) answers the port check at once, and Direwolf would be launched before the stop.
    // It listens only once the test lets it: one that listened before its launch was reported
    // would be running before Direwolf could be stopped.
    const QString mayListen = env.root() + QStringLiteral("/may-listen");
    const QString listener = listening(QStringLiteral("rigctld-listener"));
    RigctldConfig rig;
    rig.rigctldPath = script(QStringLiteral("rigctld"), "while [ ! -e '" + mayListen.toUtf8() + "' ]; do sleep 0.02; done\n"
                                                        "exec '" + listener.toUtf8() + "' \"$@\"");
    rig.tcpPort = test::freeTcpPort();
    config.setRigctldConfig(rig);
    DirewolfConfig dw = direwolf(script(QStringLiteral("direwolf"), "exec sleep 600"));
    dw.pttMethod = DirewolfPTTMethod::rigctld();
    config.setDirewolfConfig(dw);

    auto outcome = test::track(orchestrator->startService(ServiceID::direwolf));
    ASSERT_TRUE(runUntilSettled(ServiceID::rigctld, [&] { return orchestrator->rigctldProcess().pid().has_value(); }, {}, 5s));
    ASSERT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::starting);
    orchestrator->stopService(ServiceID::direwolf);
    ASSERT_TRUE(test::writeFile(mayListen, ""));
    ASSERT_TRUE(runUntilSettled(ServiceID::rigctld, [&] { return outcome->done; }, test::standInReady(ready), 10s));
    EXPECT_EQ(outcome->error, std::nullopt);
    EXPECT_EQ(orchestrator->direwolfProcess().lastLaunchCommand(), std::nullopt);
    // The dependency is a service of its own: it finishes its start instead of hanging in it.
    EXPECT_TRUE(runUntilSettled(
        ServiceID::rigctld, [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::running; },
        test::standInReady(ready), 10s));
}

// Direwolf that needs rigctld while a start of rigctld is under way takes that start's outcome:
// a rigctld whose child died during its start is not launched a second time for Direwolf.
TEST_F(StartPathsTest, DirewolfTakesTheOutcomeOfARigctldStartUnderWay)
{
    // Real time: the child's end has to be seen while its port is awaited.
    env.useSystemClock();
    const QString launches = env.root() + QStringLiteral("/launches");
    RigctldConfig rig;
    rig.rigctldPath = script(QStringLiteral("rigctld"), "echo launched >> '" + launches.toUtf8() + "'; sleep 0.5; exit 1");
    rig.tcpPort = test::freeTcpPort();
    config.setRigctldConfig(rig);
    DirewolfConfig dw = direwolf(script(QStringLiteral("direwolf"), "exit 1"));
    dw.pttMethod = DirewolfPTTMethod::rigctld();
    config.setDirewolfConfig(dw);
    ManagedProcess &rigctld = orchestrator->rigctldProcess();
    std::chrono::milliseconds sweep{0};
    env.commands().takeTime(env.currentClock(), [&](const Command &command) {
        return command.program.endsWith(QLatin1String("pkill")) ? sweep : 0ms;
    });

    struct Moment {
        const char *name;
        std::chrono::milliseconds sweep;
        std::function<bool()> reached;
    };
    const Moment moments[] = {
        {"while its start clears its port", 800ms, [&] { return !env.commands().callsOf("pkill").empty(); }},
        {"while its child starts", 0ms, [&] { return rigctld.pid().has_value(); }},
    };
    for (const Moment &moment : moments) {
        SCOPED_TRACE(moment.name);
        QFile::remove(launches);
        env.commands().calls.clear();
        sweep = moment.sweep;
        auto rigctldStart = start(ServiceID::rigctld);
        ASSERT_TRUE(test::processEventsUntil(moment.reached, 5s));
        ASSERT_NE(rigctld.state(), ServiceRunState::error);
        auto direwolfStart = start(ServiceID::direwolf);
        ASSERT_TRUE(test::processEventsUntil([&] { return rigctldStart->done && direwolfStart->done; }, 15s));
        EXPECT_EQ(direwolfStart->error, std::nullopt);
        EXPECT_EQ(rigctld.state(), ServiceRunState::error);
        QFile file(launches);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(QString::fromUtf8(file.readAll()), "launched\n");
        EXPECT_EQ(orchestrator->direwolfProcess().logLines().filter("rigctld failed to start (rigctld exited during its "
                                                                    "start: Process exited with code 1)").size(), 1);
        orchestrator->stopService(ServiceID::direwolf);
        orchestrator->stopService(ServiceID::rigctld);
        orchestrator->direwolfProcess().clearLog();
    }
}

TEST_F(StartPathsTest, NativePttDirewolfRestartsOnceForAServerChangeAfterTheOldOneIsGone)
{
    const QString type = RigControlServerDiscovery::kServiceType;
    const auto advertise = [&](std::initializer_list<std::pair<QString, QString>> radios) {
        QList<BonjourBrowseResult> results;
        for (const auto &[radio, port] : radios) {
            results << test::FakeBonjour::result(radio + QStringLiteral(" server"), type,
                                                 BonjourTxtRecord({{"radio", radio}, {"port", port}}));
        }
        env.bonjour().setResults(type, results);
    };
    const auto publish = [&](std::initializer_list<std::pair<QString, QString>> radios) {
        advertise(radios);
        test::ManualClock::processEvents();
    };
    // The client's servers listen: one of another user or none at all would be passed over.
    QTcpServer servers[3];
    QString ports[3];
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(servers[i].listen(QHostAddress::LocalHost));
        ports[i] = QString::number(servers[i].serverPort());
    }
    // Another host's server, advertised for a radio that sorts first: nothing listens at its port
    // here. Bound and never listened on, so that no other test run can listen there meanwhile.
    QTcpSocket elsewhere;
    elsewhere.setProxy(QNetworkProxy::NoProxy);
    ASSERT_TRUE(elsewhere.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress));
    const QString silent = QString::number(elsewhere.localPort());
    discovery.startBrowsing();
    publish({{"FT-991", silent}, {"IC-7300", ports[0]}});
    // A Direwolf that ignores SIGTERM: its restart has to wait for the SIGKILL.
    DirewolfConfig dw = direwolf(listening(QStringLiteral("direwolf"), true));
    dw.pttMethod = DirewolfPTTMethod::nativeCorvexa();
    config.setDirewolfConfig(dw);
    auto outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
    ASSERT_EQ(outcome->error, std::nullopt);
    EXPECT_FALSE(env.log().contains("waiting up to 3s"));
    const qint64 first = orchestrator->direwolfProcess().pid().value_or(0);
    ASSERT_NE(first, 0);
    const test::ProcessHandle firstDirewolf(first);
    EXPECT_TRUE(
        env.log().contains(QString::fromUtf8("'FT-991' at 127.0.0.1:%1 has nothing listening \u2014 passed over.").arg(silent)));
    {
        QFile conf(DirewolfConfigManager::configPath());
        ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
        EXPECT_TRUE(conf.readAll().contains("PTT RIG 2 127.0.0.1:" + ports[0].toUtf8()));
    }
    // A change that leaves the server Direwolf keys through the one chosen restarts nothing.
    publish({{"FT-991", silent}, {"IC-7300", ports[0]}, {"TS-590", ports[2]}});
    EXPECT_TRUE(env.clock().runUntil([&] { return env.log().contains("is the one Direwolf keys through"); }, 0ms));
    EXPECT_EQ(orchestrator->direwolfProcess().pid(), first);

    // Taken once the server in use has been away for the grace, as it may come back.
    QFile::remove(ready);
    publish({{"IC-7300", ports[1]}});
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf,
        [&] {
            return orchestrator->direwolfProcess().state() == ServiceRunState::running &&
                   orchestrator->direwolfProcess().pid() != first;
        },
        test::standInReady(ready), 20s));
    // The new one starts once the old one has had its SIGKILL, which takes effect a moment later.
    EXPECT_TRUE(firstDirewolf.endsWithin(5s));
    EXPECT_EQ(linesContaining("Running on KISS port"), 2);
    EXPECT_FALSE(env.log().contains("restart after endpoint change failed"));
    QFile conf(DirewolfConfigManager::configPath());
    ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(conf.readAll().contains("PTT RIG 2 127.0.0.1:" + ports[1].toUtf8()));
    // Nobody else can answer a client on the other family's loopback beside the new Direwolf.
    for (const int port : {dw.kissPort, dw.agwPort}) {
        EXPECT_FALSE(test::bindable(QHostAddress(QHostAddress::LocalHostIPv6), static_cast<quint16>(port))) << port;
    }

    // Within the guard time a change is only noted, and looked at once the guard clears: the
    // server Direwolf keys through went away and came back meanwhile, and its connection with it.
    const int ignored = linesContaining("ignoring (guard active)");
    QFile::remove(ready);
    publish({});
    publish({{"IC-7300", ports[1]}});
    EXPECT_EQ(linesContaining("ignoring (guard active)"), ignored + 2);
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return linesContaining("Running on KISS port") == 3; }, test::standInReady(ready), 10s));
    // After that restart's guard, a vanished server leaves Direwolf running.
    EXPECT_TRUE(env.clock().runUntil([&] { return linesContaining("endpoint-change guard cleared") == 2; }, 5s));
    publish({});
    EXPECT_TRUE(env.clock().runUntil([&] { return env.log().contains("endpoint disappeared while running"); }, 0ms));
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);
    EXPECT_EQ(linesContaining("Running on KISS port"), 3);

    // The server it keys through comes back: Direwolf's connection ended with it.
    QFile::remove(ready);
    publish({{"IC-7300", ports[1]}});
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return linesContaining("Running on KISS port") == 4; }, test::standInReady(ready), 10s));

    // The user's server appears once Direwolf's start passed over the only one listed, before its
    // child is launched: once it runs on VOX, it is restarted to key through it.
    EXPECT_TRUE(env.clock().runUntil([&] { return linesContaining("endpoint-change guard cleared") == 3; }, 5s));
    orchestrator->stopService(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, {}));
    publish({{"IC-7300", silent}});
    QFile::remove(ready);
    env.log().onWrite = [&](const QString &line) {
        if (line.contains("falling back to VOX")) {
            advertise({{"IC-7300", silent}, {"IC-7300", ports[0]}});
        }
    };
    auto onVox = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return linesContaining("Running on KISS port") == 5; }, test::standInReady(ready), 10s));
    env.log().onWrite = nullptr;
    EXPECT_EQ(onVox->error, std::nullopt);
    QFile::remove(ready);
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return linesContaining("Running on KISS port") == 6; }, test::standInReady(ready), 10s));
    {
        QFile keyed(DirewolfConfigManager::configPath());
        ASSERT_TRUE(keyed.open(QIODevice::ReadOnly));
        EXPECT_TRUE(keyed.readAll().contains("PTT RIG 2 127.0.0.1:" + ports[0].toUtf8()));
    }

    // The server chosen goes away and comes back once the child is launched, before it runs: the
    // child's connection ended with it, so once it runs it is restarted.
    EXPECT_TRUE(env.clock().runUntil([&] { return linesContaining("endpoint-change guard cleared") == 4; }, 5s));
    orchestrator->stopService(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, {}));
    QFile::remove(ready);
    auto gap = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return orchestrator->direwolfProcess().pid().has_value(); }, test::standInReady(ready), 10s));
    ASSERT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::starting);
    publish({{"IC-7300", silent}});
    publish({{"IC-7300", silent}, {"IC-7300", ports[0]}});
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return linesContaining("Running on KISS port") == 7; }, test::standInReady(ready), 10s));
    EXPECT_EQ(gap->error, std::nullopt);
    QFile::remove(ready);
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return linesContaining("Running on KISS port") == 8; }, test::standInReady(ready), 10s));
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);
}

} // namespace
} // namespace cordavelle
