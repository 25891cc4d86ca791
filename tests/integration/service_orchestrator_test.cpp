#include "api/api_router.h"
#include "api/http_server.h"
#include "api/pairing_manager.h"
#include "core/orchestrator_service_control.h"
#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "core/wine_prefix_hold.h"
#include "radio/audio_device_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include "support/child_processes.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"
#include "support/wire_client.h"

#include <QCoreApplication>
#include <QFile>
#include <QCoroTimer>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

// The start paths stand in for the real programs with plain children, so that the
// orchestrator's own rules are what is tested.
class ServiceOrchestratorTest : public ::testing::Test {
protected:
    ServiceOrchestratorTest()
    {
        for (ServiceID id : allCases<ServiceID>()) {
            orchestrator->overrideStartPath(id, launching(QStringLiteral("exec sleep 600")));
            children.watch(orchestrator->process(id));
        }
    }

    ~ServiceOrchestratorTest() override
    {
        if (HasFailure()) {
            for (const auto &line : env.log().messages()) {
                std::cerr << line.toStdString() << std::endl;
            }
        }
        children.killAll();
        orchestrator.reset();
        test::ManualClock::processEvents();
    }

    // A start path that runs `script` under /bin/sh and calls it ready at once.
    ServiceOrchestrator::StartPath launching(QString script)
    {
        return [this, script](ServiceID id, std::stop_token cancel) {
            ++launches[id];
            return launch(orchestrator->process(id), {QStringLiteral("-c"), script}, cancel);
        };
    }

    // A child that ignores SIGTERM, ready once it has said so.
    ServiceOrchestrator::StartPath launchingStubborn()
    {
        return [this](ServiceID id, std::stop_token cancel) {
            ++launches[id];
            const QString ready = env.root() + QStringLiteral("/ready-") + toRaw(id);
            QFile::remove(ready);
            const QString script = QStringLiteral("trap '' TERM; touch '%1'; while :; do sleep 1; done").arg(ready);
            return launch(orchestrator->process(id), {QStringLiteral("-c"), script}, cancel, ready);
        };
    }

    static QCoro::Task<void> launch(ManagedProcess &process, QStringList arguments, std::stop_token cancel,
                                    QString readyFile = {})
    {
        co_await process.start(QString::fromLatin1("/bin/sh"), arguments, std::nullopt, std::nullopt, cancel);
        // Real time, not the test's clock: the child needs a moment to set itself up.
        for (int i = 0; !readyFile.isEmpty() && !QFile::exists(readyFile) && i < 1000; ++i) {
            co_await QCoro::sleepFor(std::chrono::milliseconds(5));
        }
        process.markRunning();
    }

    ServiceOrchestrator::StartPath failing(QString message)
    {
        return [this, message](ServiceID id, std::stop_token) -> QCoro::Task<void> {
            ++launches[id];
            throw std::runtime_error(message.toStdString());
            co_return;
        };
    }

    std::shared_ptr<test::TaskOutcome> start(ServiceID id)
    {
        return test::track(orchestrator->startService(id));
    }

    // By default no virtual time passes: the stand-in start paths never sleep.
    void startAndWait(ServiceID id, std::chrono::milliseconds virtualLimit = 0ms)
    {
        auto outcome = start(id);
        ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, virtualLimit)) << toRaw(id).toStdString();
        ASSERT_FALSE(outcome->error) << outcome->error->toStdString();
        ASSERT_EQ(orchestrator->process(id).state(), ServiceRunState::running);
    }

    void setMode(ServiceID id, ServiceLifecycleMode mode) { config.setLifecycleMode(id, mode); }

    // Kills the service's child from outside, as a crash would end it.
    void crash(ServiceID id)
    {
        const auto pid = orchestrator->process(id).pid();
        ASSERT_TRUE(pid);
        ::kill(static_cast<pid_t>(*pid), SIGKILL);
        ASSERT_TRUE(env.clock().runUntil([&] { return orchestrator->process(id).state() == ServiceRunState::error; },
                                         0ms));
    }

    // A wine server for the prefix, so that its runs are recorded.
    void installWineserver() { installScript(env.hostPath(QStringLiteral("/usr/local/bin/wineserver"))); }

    static void installScript(const QString &path) { ASSERT_TRUE(test::writeProgram(path)); }

    int wineserverRuns() { return static_cast<int>(env.commands().callsOf(QStringLiteral("wineserver")).size()); }

    int countSleeps(std::chrono::milliseconds duration)
    {
        const auto &log = env.clock().sleepLog();
        return static_cast<int>(std::count(log.begin(), log.end(), duration));
    }

    test::TestPlatform env;
    ConfigStore config{env.defaults(), env.platform()};
    KeepaliveRequestAdvertiser keepalive{env.bonjour()};
    RigControlServerDiscovery discovery{env.bonjour(), env.clock()};
    AudioDeviceManager audio{env.audio()};
    WinePrefixHold prefixHold;
    std::unique_ptr<ServiceOrchestrator> orchestrator = std::make_unique<ServiceOrchestrator>(
        config, keepalive, discovery, audio, env.clock(), env.currentCommands(), env.platform().wineDrivers(),
        env.notifications(), prefixHold);
    std::map<ServiceID, int> launches;
    test::ChildProcessGroups children;
};

TEST_F(ServiceOrchestratorTest, StatusRecordsOfAllFourServices)
{
    auto rigctld = config.rigctldConfig();
    rigctld.tcpPort = 4600;
    config.setRigctldConfig(rigctld);
    auto direwolf = config.direwolfConfig();
    direwolf.kissPort = 8101;
    direwolf.agwPort = 8100;
    config.setDirewolfConfig(direwolf);
    setMode(ServiceID::varaFM, ServiceLifecycleMode::alwaysOn);

    startAndWait(ServiceID::rigctld);
    env.clock().advance(3s);

    const ServiceStatus hf = orchestrator->status(ServiceID::varaHF);
    EXPECT_EQ(hf.id, "vara-hf");
    EXPECT_EQ(hf.displayName, "VARA HF");
    EXPECT_EQ(hf.state, ServiceRunState::stopped);
    EXPECT_EQ(hf.lifecycleMode, ServiceLifecycleMode::onDemand);
    EXPECT_EQ(hf.ports, (std::map<QString, int>{{"command", 8300}, {"data", 8301}}));
    EXPECT_FALSE(hf.pid || hf.error || hf.uptime);

    const ServiceStatus fm = orchestrator->status(ServiceID::varaFM);
    EXPECT_EQ(fm.displayName, "VARA FM");
    EXPECT_EQ(fm.lifecycleMode, ServiceLifecycleMode::alwaysOn);
    EXPECT_EQ(fm.ports, hf.ports);

    ServiceStatus rig = orchestrator->status(ServiceID::rigctld);
    EXPECT_EQ(rig.id, "rigctld");
    EXPECT_EQ(rig.state, ServiceRunState::running);
    EXPECT_EQ(rig.pid, orchestrator->rigctldProcess().pid());
    ASSERT_TRUE(rig.uptime);
    EXPECT_NEAR(*rig.uptime, 3.0, 0.01);
    EXPECT_EQ(rig.ports, (std::map<QString, int>{{"tcp", 4600}}));
    // A changed port shows at once, even while the old child still runs.
    rigctld.tcpPort = 4700;
    config.setRigctldConfig(rigctld);
    EXPECT_EQ(orchestrator->status(ServiceID::rigctld).ports.at("tcp"), 4700);

    const ServiceStatus dw = orchestrator->status(ServiceID::direwolf);
    EXPECT_EQ(dw.displayName, "Direwolf");
    EXPECT_EQ(dw.ports, (std::map<QString, int>{{"kiss", 8101}, {"agw", 8100}}));

    // A crashed on-demand service reports the error and no pid or uptime.
    crash(ServiceID::rigctld);
    rig = orchestrator->status(ServiceID::rigctld);
    EXPECT_EQ(rig.state, ServiceRunState::error);
    EXPECT_EQ(rig.error, "Process exited with code 9");
    EXPECT_FALSE(rig.pid || rig.uptime);
}

TEST_F(ServiceOrchestratorTest, StartOnlyFromStoppedOrErrorAndStartPathErrorsReachTheCaller)
{
    orchestrator->overrideStartPath(ServiceID::varaHF, {});
    auto outcome = start(ServiceID::varaHF);
    ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 1s));
    EXPECT_EQ(outcome->error, "Wine not found");

    startAndWait(ServiceID::direwolf);
    const auto pid = orchestrator->direwolfProcess().pid();
    // A second start of a running service launches nothing and keeps the child.
    orchestrator->stopServiceIdle(ServiceID::direwolf);
    EXPECT_TRUE(orchestrator->idleShutdown().hasPendingIdleStop(ServiceID::direwolf));
    startAndWait(ServiceID::direwolf);
    EXPECT_EQ(launches[ServiceID::direwolf], 1);
    EXPECT_EQ(orchestrator->direwolfProcess().pid(), pid);
    EXPECT_FALSE(orchestrator->idleShutdown().hasPendingIdleStop(ServiceID::direwolf));

    // From error it starts again.
    crash(ServiceID::direwolf);
    startAndWait(ServiceID::direwolf);
    EXPECT_EQ(launches[ServiceID::direwolf], 2);
    // Port reaping asked lsof about the KISS and AGW ports first.
    EXPECT_EQ(env.commands().callsOf(QStringLiteral("lsof")).size(), 4u);
}

TEST_F(ServiceOrchestratorTest, ConcurrentStartsOverTheWireLaunchOneChildAndAllSucceed)
{
    // Like rigctld's own path, the start path cleans up a while before it launches.
    const auto launchNow = launching(QStringLiteral("exec sleep 600"));
    orchestrator->overrideStartPath(ServiceID::rigctld,
                                    [this, launchNow](ServiceID id, std::stop_token cancel) -> QCoro::Task<void> {
                                        if (co_await env.clock().sleep(500ms, cancel)) {
                                            co_await launchNow(id, cancel);
                                        }
                                    });
    config.setRequirePairing(false);
    PairingManager pairing(env.defaults(), env.clock(), env.keychain(), env.attention());
    OrchestratorServiceControl control(*orchestrator);
    HTTPServer api(env.platform().clock());
    ASSERT_TRUE(test::startOnFreePort(api, APIRouter::handler(control, config, pairing, env.platform().clock(),
                                                              env.defaults(), env.notifications())));

    std::vector<test::WireClient> clients(8);
    for (auto &client : clients) {
        ASSERT_TRUE(client.connectTo(api.port()));
        client.send("POST /services/rigctld/start HTTP/1.1\r\nHost: localhost\r\n\r\n");
    }
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return std::all_of(clients.begin(), clients.end(), [](const auto &c) { return !c.isOpen(); }); },
        2s));
    for (const auto &client : clients) {
        EXPECT_EQ(client.reply().statusCode, 200) << client.received().toStdString();
    }
    EXPECT_EQ(launches[ServiceID::rigctld], 1);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);

    // A stop lets the next start through at once, even before the cancelled one has unwound.
    orchestrator->stopService(ServiceID::rigctld);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::stopped; }, 5s));
    auto first = start(ServiceID::rigctld);
    orchestrator->stopService(ServiceID::rigctld);
    auto second = start(ServiceID::rigctld);
    ASSERT_TRUE(env.clock().runUntil([&] { return first->done && second->done; }, 2s));
    EXPECT_EQ(launches[ServiceID::rigctld], 2);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);
}

TEST_F(ServiceOrchestratorTest, IdleStopAfterTheDelayCancelledByANewStart)
{
    config.setIdleShutdownDelay(5);
    startAndWait(ServiceID::rigctld);
    orchestrator->stopServiceIdle(ServiceID::rigctld);
    env.clock().advance(299s);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::stopped; }, 2s));
    EXPECT_FALSE(orchestrator->idleShutdown().hasPendingIdleStop(ServiceID::rigctld));

    // A start within the delay cancels the pending stop.
    startAndWait(ServiceID::rigctld);
    orchestrator->stopServiceIdle(ServiceID::rigctld);
    env.clock().advance(200s);
    startAndWait(ServiceID::rigctld);
    env.clock().advance(1h);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);
}

TEST_F(ServiceOrchestratorTest, IdleDelayZeroStopsAtOnceAndMinusOneNever)
{
    config.setIdleShutdownDelay(-1);
    startAndWait(ServiceID::direwolf);
    orchestrator->startIdleMonitor();
    orchestrator->recordActivity(ServiceID::direwolf);
    orchestrator->stopServiceIdle(ServiceID::direwolf);
    env.clock().advance(2h);
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);

    config.setIdleShutdownDelay(0);
    orchestrator->stopServiceIdle(ServiceID::direwolf);
    // The caller still sees it running; the stop follows from the event loop.
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, 2s));
}

TEST_F(ServiceOrchestratorTest, IdleMonitorStopsStaleOnDemandServicesEveryMinute)
{
    config.setIdleShutdownDelay(1);
    setMode(ServiceID::varaHF, ServiceLifecycleMode::alwaysOn);
    startAndWait(ServiceID::varaHF);
    startAndWait(ServiceID::rigctld); // stamps rigctld's activity at 0 s
    orchestrator->startIdleMonitor();

    // The sweep at 60 s finds rigctld exactly one minute idle.
    env.clock().advance(59s);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::stopped; }, 1s));
    EXPECT_EQ(countSleeps(60s), 2);

    // Always-on services are never idle.
    env.clock().advance(10min);
    EXPECT_EQ(orchestrator->varaProcess().state(), ServiceRunState::running);
    EXPECT_EQ(countSleeps(60s), 12);
}

TEST_F(ServiceOrchestratorTest, CrashOfAnAlwaysOnServiceNotifiesAndRestartsAfterTwoSeconds)
{
    setMode(ServiceID::rigctld, ServiceLifecycleMode::alwaysOn);
    startAndWait(ServiceID::rigctld);
    crash(ServiceID::rigctld);

    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] rigctld exited unexpectedly with code 9"));
    ASSERT_EQ(env.notifications().requests.size(), 1u);
    const NotificationRequest &notice = env.notifications().requests[0];
    EXPECT_EQ(notice.title, "rigctld stopped unexpectedly");
    EXPECT_EQ(notice.body, "Exit code 9. Helper will attempt to restart.");
    EXPECT_TRUE(notice.identifier.startsWith("service-crash-rigctld-1767268800.")) << notice.identifier.toStdString();
    EXPECT_TRUE(notice.sound);
    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] Scheduling restart of rigctld (attempt 1/5) in 2s"));
    EXPECT_TRUE(orchestrator->isRestartPending(ServiceID::rigctld));

    env.clock().advance(1999ms);
    EXPECT_EQ(launches[ServiceID::rigctld], 1);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::running; }, 1ms));
    EXPECT_EQ(launches[ServiceID::rigctld], 2);
    test::ManualClock::processEvents();
    EXPECT_FALSE(orchestrator->isRestartPending(ServiceID::rigctld));

    // The next crash starts a chain of its own, with a notice of its own.
    env.clock().advance(1s);
    crash(ServiceID::rigctld);
    ASSERT_EQ(env.notifications().requests.size(), 2u);
    EXPECT_NE(env.notifications().requests[1].identifier, notice.identifier);
    EXPECT_EQ(env.log().messages().filter("(attempt 1/5)").size(), 2);
}

TEST_F(ServiceOrchestratorTest, CrashOfAnOnDemandServiceIsOnlyLogged)
{
    startAndWait(ServiceID::direwolf);
    crash(ServiceID::direwolf);
    env.clock().advance(2min);
    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] direwolf exited unexpectedly with code 9"));
    EXPECT_TRUE(env.notifications().requests.empty());
    EXPECT_FALSE(env.log().contains("Scheduling restart"));
    EXPECT_EQ(launches[ServiceID::direwolf], 1);
}

TEST_F(ServiceOrchestratorTest, FailingRestartsBackOffTwoToThirtyTwoSecondsThenGiveUp)
{
    setMode(ServiceID::varaFM, ServiceLifecycleMode::alwaysOn);
    startAndWait(ServiceID::varaFM);
    // Two attempts throw; the others return with the service still down, which fails too.
    int attempts = 0;
    orchestrator->overrideStartPath(ServiceID::varaFM, [&](ServiceID, std::stop_token) -> QCoro::Task<void> {
        if (++attempts <= 2) {
            throw std::runtime_error("no modem");
        }
        co_return;
    });
    crash(ServiceID::varaFM);

    env.clock().advance(2s + 4s + 8s + 16s + 32s - 1ms);
    EXPECT_EQ(attempts, 4);
    env.clock().advance(1ms);
    EXPECT_EQ(attempts, 5);
    env.clock().advance(1h);
    EXPECT_EQ(attempts, 5);
    EXPECT_FALSE(orchestrator->isRestartPending(ServiceID::varaFM));

    const QStringList scheduled = env.log().messages().filter("Scheduling restart of vara-fm");
    EXPECT_EQ(scheduled,
              (QStringList{"[ServiceOrchestrator] Scheduling restart of vara-fm (attempt 1/5) in 2s",
                           "[ServiceOrchestrator] Scheduling restart of vara-fm (attempt 2/5) in 4s",
                           "[ServiceOrchestrator] Scheduling restart of vara-fm (attempt 3/5) in 8s",
                           "[ServiceOrchestrator] Scheduling restart of vara-fm (attempt 4/5) in 16s",
                           "[ServiceOrchestrator] Scheduling restart of vara-fm (attempt 5/5) in 32s"}));
    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] Restart attempt 1 of vara-fm failed: no modem"));
    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] Restart attempt 3 of vara-fm failed: Process exited with code 9"));
    EXPECT_TRUE(env.log().contains("Restart attempt 5 of vara-fm failed"));
    EXPECT_EQ(orchestrator->varaFMProcess().state(), ServiceRunState::error);
}

TEST_F(ServiceOrchestratorTest, UserStopDuringTheBackOffEndsTheChain)
{
    setMode(ServiceID::rigctld, ServiceLifecycleMode::alwaysOn);
    startAndWait(ServiceID::rigctld);
    orchestrator->overrideStartPath(ServiceID::rigctld, failing("rig not answering"));
    crash(ServiceID::rigctld);
    env.clock().advance(2s); // attempt 1 fails, attempt 2 waits 4 s
    EXPECT_EQ(launches[ServiceID::rigctld], 2);
    orchestrator->stopService(ServiceID::rigctld);
    test::ManualClock::processEvents();
    EXPECT_FALSE(orchestrator->isRestartPending(ServiceID::rigctld));
    env.clock().advance(1h);
    EXPECT_EQ(launches[ServiceID::rigctld], 2);
    EXPECT_FALSE(env.log().contains("(attempt 3/5)"));

    // Switching to on-demand during a back-off lets the attempt run, but schedules nothing more.
    orchestrator->overrideStartPath(ServiceID::rigctld, launching("exec sleep 600"));
    startAndWait(ServiceID::rigctld);
    orchestrator->overrideStartPath(ServiceID::rigctld, failing("rig not answering"));
    crash(ServiceID::rigctld);
    setMode(ServiceID::rigctld, ServiceLifecycleMode::onDemand);
    env.clock().advance(1h);
    EXPECT_EQ(launches[ServiceID::rigctld], 4);
    EXPECT_EQ(env.log().messages().filter("Scheduling restart of rigctld").size(), 3);
}

TEST_F(ServiceOrchestratorTest, StopWhileARestartIsStartingKeepsItFromLaunching)
{
    // VARA HF's restart first has to stop VARA FM, whose child ignores SIGTERM; the user stops
    // VARA HF during that wait.
    setMode(ServiceID::varaHF, ServiceLifecycleMode::alwaysOn);
    orchestrator->overrideStartPath(ServiceID::varaFM, launchingStubborn());
    startAndWait(ServiceID::varaHF);
    crash(ServiceID::varaHF);
    startAndWait(ServiceID::varaFM);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->varaFMProcess().state() == ServiceRunState::stopping; }, 2s));
    orchestrator->stopService(ServiceID::varaHF);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->varaFMProcess().state() == ServiceRunState::stopped; }, 5s));
    env.clock().advance(1min);
    EXPECT_EQ(launches[ServiceID::varaHF], 1);
    EXPECT_EQ(orchestrator->varaProcess().state(), ServiceRunState::error);
}

TEST_F(ServiceOrchestratorTest, TheTwoVARAVariantsShareTheirWineServerAndNeverRunTogether)
{
    installWineserver();
    setMode(ServiceID::varaHF, ServiceLifecycleMode::alwaysOn);
    startAndWait(ServiceID::varaHF);

    // Starting FM stops HF first: no crash notice, no restart.
    startAndWait(ServiceID::varaFM, 3s);
    EXPECT_EQ(orchestrator->varaProcess().state(), ServiceRunState::stopped);
    EXPECT_TRUE(env.notifications().requests.empty());
    EXPECT_FALSE(orchestrator->isRestartPending(ServiceID::varaHF));
    EXPECT_EQ(wineserverRuns(), 1);
    EXPECT_TRUE(env.log().contains("Stopping vara-hf before starting vara-fm"));

    // A stop of HF while FM runs leaves the shared wine server alone.
    orchestrator->stopService(ServiceID::varaHF);
    EXPECT_EQ(wineserverRuns(), 1);
    orchestrator->stopService(ServiceID::varaFM);
    EXPECT_EQ(wineserverRuns(), 2);
    const Command wineserver = env.commands().callsOf(QStringLiteral("wineserver")).back();
    EXPECT_EQ(wineserver.arguments, QStringList{"-k"});
    EXPECT_EQ(wineserver.environment.value("WINEPREFIX"), places::winePrefix());
}

TEST_F(ServiceOrchestratorTest, StopOfDirewolfWithdrawsTheKeepaliveRequestEvenWhenNotRunning)
{
    keepalive.startAdvertising(QStringLiteral("IC-7300"));
    ASSERT_TRUE(keepalive.advertisedRadioName());
    orchestrator->stopService(ServiceID::direwolf);
    EXPECT_FALSE(keepalive.advertisedRadioName());
}

TEST_F(ServiceOrchestratorTest, StopAllServicesIsBoundedEvenWhenAChildIgnoresSigterm)
{
    orchestrator->overrideStartPath(ServiceID::rigctld, launchingStubborn());
    for (ServiceID id : {ServiceID::varaFM, ServiceID::rigctld, ServiceID::direwolf}) {
        startAndWait(id);
    }
    setMode(ServiceID::direwolf, ServiceLifecycleMode::alwaysOn);
    orchestrator->startIdleMonitor();
    const auto stubborn = *orchestrator->rigctldProcess().pid();

    const auto began = env.clock().now();
    auto outcome = test::track(orchestrator->stopAllServices());
    ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 10s));
    EXPECT_LE(env.clock().now() - began, ServiceOrchestrator::kStopAllTimeLimit);
    EXPECT_GE(env.clock().now() - began, 2s); // the SIGKILL comes 2 s after SIGTERM
    for (ServiceID id : allCases<ServiceID>()) {
        EXPECT_EQ(orchestrator->process(id).state(), ServiceRunState::stopped) << toRaw(id).toStdString();
    }
    // Signalled children may take a moment of real time to be gone.
    EXPECT_TRUE(env.clock().runUntil([&] { return children.allEnded(); }, 0ms));
    EXPECT_FALSE(test::isAlive(stubborn));
    EXPECT_FALSE(orchestrator->idleShutdown().isIdleMonitorRunning());
    EXPECT_TRUE(env.notifications().requests.empty());
}

TEST_F(ServiceOrchestratorTest, QuitWithNothingRunningIsImmediateAndAStoppedModemsWineServerIsSpared)
{
    // A wine server that takes its time over "-k", as a real one does, and leaves a mark.
    env.platform().setCommandRunner(std::make_shared<LinuxCommandRunner>());
    const QString mark = env.root() + QStringLiteral("/wineserver-ran");
    ASSERT_TRUE(test::writeProgram(env.hostPath(QStringLiteral("/usr/local/bin/wineserver")),
                                   QStringLiteral("#!/bin/sh\nsleep 0.7\ntouch '%1'\n").arg(mark).toUtf8()));
    const auto quit = [&] {
        QElapsedTimer timer;
        timer.start();
        auto outcome = test::track(orchestrator->stopAllServices());
        EXPECT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 10s));
        return std::chrono::milliseconds(timer.elapsed());
    };

    EXPECT_LT(quit(), 200ms);
    EXPECT_FALSE(QFile::exists(mark));

    // A modem that ran still has its wine server stopped.
    startAndWait(ServiceID::varaHF);
    quit();
    EXPECT_TRUE(QFile::exists(mark));
}

TEST_F(ServiceOrchestratorTest, AlwaysOnStartAtLaunchLeavesDirewolfAloneAndRetriesFailures)
{
    for (ServiceID id : allCases<ServiceID>()) {
        setMode(id, ServiceLifecycleMode::alwaysOn);
    }
    setMode(ServiceID::varaFM, ServiceLifecycleMode::onDemand);
    orchestrator->overrideStartPath(ServiceID::varaHF, {});
    orchestrator->startAlwaysOnServices();
    EXPECT_TRUE(launches.empty()); // the starts run from the event loop

    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::running; }, 0ms));
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::stopped);
    EXPECT_EQ(orchestrator->varaFMProcess().state(), ServiceRunState::stopped);
    EXPECT_TRUE(env.log().contains(
        "[ServiceOrchestrator] Always-on start of vara-hf failed: Wine not found"));
    EXPECT_TRUE(env.log().contains("Scheduling restart of vara-hf (attempt 1/5) in 2s"));
    EXPECT_TRUE(orchestrator->isRestartPending(ServiceID::varaHF));
}

TEST_F(ServiceOrchestratorTest, RigctldLookUpPrefersTheHelpersOwnHamlib)
{
    EXPECT_FALSE(orchestrator->isRigctldInstalled());
    const QString homebrew = env.hostPath(QStringLiteral("/opt/homebrew/bin/rigctld"));
    installScript(env.hostPath(QStringLiteral("/usr/bin/rigctld")));
    installScript(homebrew);
    EXPECT_EQ(tools::findRigctld(), homebrew);
    installScript(places::supportFolder() + QStringLiteral("/hamlib/bin/rigctld"));
    EXPECT_EQ(tools::findRigctld(), places::supportFolder() + QStringLiteral("/hamlib/bin/rigctld"));
    EXPECT_TRUE(orchestrator->isRigctldInstalled());
}

TEST_F(ServiceOrchestratorTest, CleanupOfOrphansRunsPkillForRigctldThenTheWineServer)
{
    installWineserver();
    auto outcome = test::track(orchestrator->cleanupOrphanedProcesses());
    ASSERT_TRUE(env.clock().advanceUntil([&] { return outcome->done; }, 1s));
    const QString pid = QString::number(QCoreApplication::applicationPid());
    ASSERT_EQ(env.commands().journal.size(), 3);
    EXPECT_EQ(env.commands().journal[0], "/usr/bin/pkill -9 -P " + pid + " rigctld");
    EXPECT_EQ(env.commands().journal[1], "/usr/bin/pkill -9 rigctld");
    EXPECT_TRUE(env.commands().journal[2].endsWith("/usr/local/bin/wineserver -k"));
}

} // namespace
} // namespace cordavelle
