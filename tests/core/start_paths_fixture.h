#pragma once

#include "api/api_router.h"
#include "api/pairing_manager.h"
#include "core/orchestrator_service_control.h"
#include "core/service_orchestrator.h"

#include "support/fixed_port_lock.h"
#include "support/listening_stand_in.h"
#include "support/local_ports.h"
#include "support/orchestrator_fixture.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <tuple>

namespace cordavelle::test {

// The orchestrator with stand-in programs of the test's own, on the test's clock.
class StartPathsTest : public test::OrchestratorTest {
protected:
    StartPathsTest() { watchChildren(); }

    QString file(const QString &name, const QByteArray &bytes, bool executable = true)
    {
        const QString path = env.root() + QLatin1Char('/') + name;
        EXPECT_TRUE(executable ? test::writeProgram(path, bytes) : test::writeFile(path, bytes));
        return path;
    }

    QString script(const QString &name, const QByteArray &body) { return file(name, "#!/bin/sh\n" + body + "\n"); }

    // A stand-in that listens where the program would; it makes `ready` once it does.
    QString listening(const QString &name, bool ignoresTerm = false)
    {
        return file(name, test::listeningStandIn(ready, ignoresTerm));
    }
    const QString ready = env.root() + QStringLiteral("/listening");

    // Starts and waits in virtual time; the stand-ins never open their ports, so each launch
    // costs the 5 s port wait.
    std::optional<QString> startAndWait(ServiceID id)
    {
        auto outcome = test::track(orchestrator->startService(id));
        EXPECT_TRUE(env.clock().runUntil([&] { return outcome->done; }, std::chrono::seconds(60)));
        return outcome->error;
    }

    // Each test's own ports: on the default ones a start could meet a child or a hold of another
    // test running beside it, and say its port is in use.
    DirewolfConfig direwolf(const QString &binary)
    {
        DirewolfConfig config;
        config.callsign = QStringLiteral("N0CALL");
        config.direwolfPath = binary;
        std::tie(config.kissPort, config.agwPort) = test::twoFreeTcpPorts();
        return config;
    }

    RigctldConfig rigctld(const QString &binary)
    {
        RigctldConfig config;
        config.rigctldPath = binary;
        config.tcpPort = test::freeTcpPort();
        return config;
    }

    int linesContaining(const QString &text) { return env.log().messages().filter(text).size(); }

    // For the tests that start VARA, whose starts fail only after holding its ports.
    void holdVaraPorts()
    {
        varaPorts.emplace();
        ASSERT_TRUE(varaPorts->held());
    }
    std::optional<test::VaraPortsLock> varaPorts;

    QCoro::Task<void> startOverTheAPI(ServiceControl &services, PairingManager &pairing)
    {
        APIRouter router(services, config, pairing, env.platform().clock(), env.defaults(), env.notifications());
        HTTPRequest request;
        request.method = QStringLiteral("POST");
        request.path = QStringLiteral("/services/rigctld/start");
        const HTTPResponse reply = co_await router.handle(std::move(request));
        EXPECT_EQ(reply.statusCode, 500);
    }

};

} // namespace cordavelle::test
