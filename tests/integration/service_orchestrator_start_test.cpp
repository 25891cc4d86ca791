#include "api/api_router.h"
#include "api/http_server.h"
#include "api/pairing_manager.h"
#include "core/launch_verdict.h"
#include "core/orchestrator_service_control.h"

#include "service_orchestrator_fixture.h"
#include "support/wire_client.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using test::ServiceOrchestratorTest;

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
    EXPECT_EQ(rig.error, "Process was killed by signal 9 (SIGKILL)");
    EXPECT_FALSE(rig.pid || rig.uptime);
}

TEST_F(ServiceOrchestratorTest, StartOnlyFromStoppedOrErrorAndStartPathErrorsReachTheCaller)
{
    startPaths.erase(ServiceID::varaHF);
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

// Every request shares the one start under way: its child when it comes up, its error when it fails.
TEST_F(ServiceOrchestratorTest, ConcurrentStartsOverTheWireLaunchOnceAndAllGetItsOutcome)
{
    config.setRequirePairing(false);
    PairingManager pairing(env.defaults(), env.clock(), env.keychain(), env.attention());
    OrchestratorServiceControl control(*orchestrator);
    HTTPServer api(env.platform().clock(), env.platform().peerOwners());
    ASSERT_TRUE(test::startOnFreePort(api, APIRouter::handler(control, config, pairing, env.platform().clock(),
                                                              env.defaults(), env.notifications())));
    // Like rigctld's own path, the start path cleans up a while before it launches.
    const auto startsAfterCleanUp = [this](ServiceOrchestrator::StartPath launchNow) {
        startPaths[ServiceID::rigctld] = [this, launchNow](ServiceID id, std::stop_token cancel) -> QCoro::Task<void> {
            const bool slept = co_await env.clock().sleep(500ms, cancel);
            if (slept) {
                co_await launchNow(id, cancel);
            }
        };
    };
    const auto startsOverTheWire = [&](int count) {
        std::vector<test::WireClient> clients(count);
        for (auto &client : clients) {
            EXPECT_TRUE(client.connectTo(api.port()));
            client.send("POST /services/rigctld/start HTTP/1.1\r\nHost: localhost\r\n\r\n");
        }
        EXPECT_TRUE(env.clock().runUntil(
            [&] { return std::all_of(clients.begin(), clients.end(), [](const auto &c) { return !c.isOpen(); }); },
            2s));
        std::vector<test::WireReply> replies;
        for (const auto &client : clients) {
            replies.push_back(client.reply());
        }
        return replies;
    };

    // A program that can't be launched: one try, and every request says why.
    startsAfterCleanUp([this](ServiceID id, std::stop_token cancel) -> QCoro::Task<void> {
        ++launches[id];
        co_await orchestrator->process(id).start("/nonexistent/rigctld", {}, std::nullopt, std::nullopt, cancel);
    });
    const std::vector<test::WireReply> failed = startsOverTheWire(5);
    EXPECT_TRUE(failed.front().body.contains(std::strerror(ENOENT))) << failed.front().body.toStdString();
    for (const test::WireReply &reply : failed) {
        EXPECT_EQ(reply.statusCode, 500);
        EXPECT_EQ(reply.body, failed.front().body);
    }
    EXPECT_EQ(launches[ServiceID::rigctld], 1);

    // A child that dies during its start, which throws nothing: one launch, and every request
    // fails with the reason that start left.
    startsAfterCleanUp([this](ServiceID id, std::stop_token cancel) -> QCoro::Task<void> {
        ++launches[id];
        ManagedProcess &process = orchestrator->process(id);
        const QStringList arguments{QStringLiteral("-c"), QStringLiteral("echo 'bind error'; exit 1")};
        co_await process.start(QStringLiteral("/bin/sh"), arguments, std::nullopt, std::nullopt, cancel);
        // Real time: the child's end is seen from the event loop.
        int i = 0;
        for (; process.state() == ServiceRunState::starting && i < 1000; ++i) {
            co_await QCoro::sleepFor(5ms);
        }
        if (launchSurvived(process, QStringLiteral("rigctld"), cancel)) {
            process.markRunning();
        }
    });
    const std::vector<test::WireReply> died = startsOverTheWire(5);
    for (const test::WireReply &reply : died) {
        EXPECT_EQ(reply.statusCode, 500);
        EXPECT_EQ(reply.body, R"({"error":"rigctld exited during its start: Process exited with code 1"})");
    }
    EXPECT_EQ(launches[ServiceID::rigctld], 2);

    startsAfterCleanUp(launching(QStringLiteral("exec sleep 600")));
    for (const test::WireReply &reply : startsOverTheWire(8)) {
        EXPECT_EQ(reply.statusCode, 200);
        EXPECT_TRUE(reply.body.contains(R"("state":"running")")) << reply.body.toStdString();
    }
    EXPECT_EQ(launches[ServiceID::rigctld], 3);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);

    // A stop lets the next start through, which goes on as soon as the cancelled one has unwound.
    orchestrator->stopService(ServiceID::rigctld);
    ASSERT_TRUE(env.clock().runUntil(
        [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::stopped; }, 5s));
    auto first = start(ServiceID::rigctld);
    orchestrator->stopService(ServiceID::rigctld);
    auto second = start(ServiceID::rigctld);
    ASSERT_TRUE(env.clock().runUntil([&] { return first->done && second->done; }, 2s));
    EXPECT_EQ(launches[ServiceID::rigctld], 4);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::running);
}

TEST_F(ServiceOrchestratorTest, AlwaysOnStartAtLaunchLeavesDirewolfAloneAndRetriesFailures)
{
    for (ServiceID id : allCases<ServiceID>()) {
        setMode(id, ServiceLifecycleMode::alwaysOn);
    }
    setMode(ServiceID::varaFM, ServiceLifecycleMode::onDemand);
    startPaths.erase(ServiceID::varaHF);
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

} // namespace
} // namespace cordavelle
