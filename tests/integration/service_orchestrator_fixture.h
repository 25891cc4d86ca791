#pragma once

#include "support/child_processes.h"
#include "support/orchestrator_fixture.h"
#include "support/test_files.h"

#include <QCoroTimer>
#include <QFile>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <map>

namespace cordavelle::test {

// The start paths stand in for the real programs with plain children, so that the
// orchestrator's own rules are what is tested.
class ServiceOrchestratorTest : public OrchestratorTest {
protected:
    ServiceOrchestratorTest()
    {
        for (ServiceID id : allCases<ServiceID>()) {
            startPaths[id] = launching(QStringLiteral("exec sleep 600"));
        }
        watchChildren();
    }

    ~ServiceOrchestratorTest() override
    {
        if (HasFailure()) {
            for (const auto &line : env.log().messages()) {
                std::cerr << line.toStdString() << std::endl;
            }
        }
        // The start paths count into `launches`, which goes before the base's teardown.
        shutDown();
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
        int i = 0;
        for (; !readyFile.isEmpty() && !QFile::exists(readyFile) && i < 1000; ++i) {
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

    // By default no virtual time passes: the stand-in start paths never sleep.
    void startAndWait(ServiceID id, std::chrono::milliseconds virtualLimit = std::chrono::milliseconds(0))
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
        ASSERT_TRUE(test::signalChild(orchestrator->process(id).pid(), SIGKILL));
        ASSERT_TRUE(env.clock().runUntil([&] { return orchestrator->process(id).state() == ServiceRunState::error; },
                                         std::chrono::milliseconds(0)));
    }

    // A wine server for the prefix, so that its runs are recorded.
    void installWineserver() { installScript(env.hostPath(QStringLiteral("/usr/local/bin/wineserver"))); }

    static void installScript(const QString &path) { ASSERT_TRUE(writeProgram(path)); }

    int wineserverRuns() { return static_cast<int>(env.commands().callsOf(QStringLiteral("wineserver")).size()); }

    int countSleeps(std::chrono::milliseconds duration)
    {
        const auto &log = env.clock().sleepLog();
        return static_cast<int>(std::count(log.begin(), log.end(), duration));
    }

    std::map<ServiceID, int> launches;
};

} // namespace cordavelle::test
