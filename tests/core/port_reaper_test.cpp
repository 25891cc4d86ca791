#include "core/port_reaper.h"
#include "support/test_platform.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <csignal>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

RigctldConfig rigctldOn(int port)
{
    RigctldConfig config;
    config.tcpPort = port;
    return config;
}

DirewolfConfig direwolfOn(int kiss, int agw)
{
    DirewolfConfig config;
    config.kissPort = kiss;
    config.agwPort = agw;
    return config;
}

QString lsofFor(int port) { return QStringLiteral("/usr/sbin/lsof -t -iTCP:%1 -sTCP:LISTEN").arg(port); }

class PortReaperTest : public ::testing::Test {
protected:
    // Starts the reaping; `done` tells when it has returned.
    void reap(ServiceID id, RigctldConfig rigctld = {}, DirewolfConfig direwolf = {}, std::stop_token cancel = {})
    {
        m_task.emplace([](PortReaper &reaper, bool &done, std::optional<QString> &held, ServiceID id, RigctldConfig r,
                          DirewolfConfig d, std::stop_token cancel) -> QCoro::Task<void> {
            held = co_await reaper.reapStaleProcessesHoldingPorts(id, r, d, cancel);
            done = true;
        }(reaper, done, held, id, rigctld, direwolf, cancel));
    }

    // Listeners per port that leave once one of them has had `leavesOn`.
    void listeners(std::map<int, std::vector<int32_t>> byPort, int leavesOn = SIGTERM)
    {
        env.commands().respond("lsof", [this, byPort, leavesOn](const Command &command) {
            for (const auto &signal : env.commands().signalsSent) {
                if (signal.signal == leavesOn) {
                    return CommandResult::exited(1);
                }
            }
            const int port = command.arguments.value(1).mid(QStringLiteral("-iTCP:").size()).toInt();
            QByteArray out;
            if (const auto it = byPort.find(port); it != byPort.end()) {
                for (const int32_t pid : it->second) {
                    out += QByteArray::number(pid) + '\n';
                }
            }
            return CommandResult::exited(out.isEmpty() ? 1 : 0, out);
        });
    }

    std::vector<std::pair<int64_t, int>> sentSignals()
    {
        std::vector<std::pair<int64_t, int>> out;
        for (const auto &s : env.commands().signalsSent) {
            out.emplace_back(s.pid, s.signal);
        }
        return out;
    }

    test::TestPlatform env;
    PortReaper reaper{env.commands(), env.clock()};
    bool done = false;
    std::optional<QString> held;
    std::optional<QCoro::Task<void>> m_task;
};

TEST_F(PortReaperTest, ExaminesOnlyTheServicesConfiguredPorts)
{
    EXPECT_TRUE(PortReaper::portsToReap(ServiceID::varaHF, rigctldOn(4532), direwolfOn(8001, 8000)).empty());
    EXPECT_TRUE(PortReaper::portsToReap(ServiceID::varaFM, rigctldOn(4532), direwolfOn(8001, 8000)).empty());
    EXPECT_EQ(PortReaper::portsToReap(ServiceID::rigctld, rigctldOn(4532), direwolfOn(8001, 8000)),
              std::vector<int>{4532});
    EXPECT_TRUE(PortReaper::portsToReap(ServiceID::rigctld, rigctldOn(0), {}).empty());
    EXPECT_EQ(PortReaper::portsToReap(ServiceID::direwolf, {}, direwolfOn(8001, 8000)), (std::vector<int>{8001, 8000}));
    EXPECT_EQ(PortReaper::portsToReap(ServiceID::direwolf, {}, direwolfOn(8001, 0)), std::vector<int>{8001});
    EXPECT_EQ(PortReaper::portsToReap(ServiceID::direwolf, {}, direwolfOn(-1, 8000)), std::vector<int>{8000});

    reap(ServiceID::varaHF, rigctldOn(4532), direwolfOn(8001, 8000));
    EXPECT_TRUE(done);
    EXPECT_TRUE(env.commands().calls.empty()) << "VARA is never reaped by port";
}

TEST_F(PortReaperTest, ReadsTheListenersFromLsof)
{
    env.commands().respond("lsof", CommandResult::exited(0, "123\n\n  456 \t\nabc\n+78\n99999999999\n123\n"));
    EXPECT_EQ(reaper.pidsListeningOn(4532), (std::vector<int32_t>{123, 456, 78, 123}));
    ASSERT_EQ(env.commands().calls.size(), 1u);
    EXPECT_TRUE(env.commands().calls[0].blocking);
    EXPECT_EQ(env.commands().journal, QStringList{lsofFor(4532)});

    env.commands().respond("lsof", CommandResult::exited(0, "123\n\xff\xfe\n"));
    EXPECT_TRUE(reaper.pidsListeningOn(4532).empty()) << "not UTF-8";
    env.commands().respond("lsof", CommandResult::failedToStart("The file \u201Clsof\u201D doesn\u2019t exist."));
    EXPECT_TRUE(reaper.pidsListeningOn(4532).empty());
    EXPECT_TRUE(env.log().entries.empty());
}

TEST_F(PortReaperTest, FreePortsAreQueriedOnceWithoutSignalWaitOrLog)
{
    reap(ServiceID::direwolf, {}, direwolfOn(8001, 8000));
    EXPECT_TRUE(done);
    EXPECT_EQ(env.commands().journal, (QStringList{lsofFor(8001), lsofFor(8000)}));
    EXPECT_TRUE(env.clock().sleepLog().empty());
    EXPECT_TRUE(env.log().entries.empty());
}

TEST_F(PortReaperTest, AListenerThatLeavesOnTermIsFollowedByAShortPause)
{
    env.commands().executables = {{4242, "/usr/bin/rigctld"}};
    listeners({{4532, {4242}}});
    reap(ServiceID::rigctld, rigctldOn(4532));

    EXPECT_EQ(env.commands().journal, (QStringList{lsofFor(4532), "kill -15 4242", lsofFor(4532)}));
    EXPECT_FALSE(done);
    env.clock().advance(200ms);
    EXPECT_TRUE(done);
    EXPECT_EQ(env.clock().sleepLog(), std::vector<std::chrono::milliseconds>{200ms});
    ASSERT_EQ(env.log().entries.size(), 2u);
    EXPECT_EQ(env.log().entries[0].message,
              "[ServiceOrchestrator] Reaping stale process pid 4242 holding rigctld port 4532 before spawn");
    EXPECT_EQ(env.log().entries[0].level, LogLevel::Error);
    EXPECT_EQ(env.log().entries[1].message, "[ServiceOrchestrator] Ports [4532] clear after SIGTERM reap");
    EXPECT_EQ(env.log().entries[1].level, LogLevel::Info);
    for (const auto &entry : env.log().entries) {
        EXPECT_EQ(entry.category, "services");
    }
}

TEST_F(PortReaperTest, AListenerThatIgnoresTermIsKilledAfterThreeSeconds)
{
    // A program file replaced since the process began still counts as Direwolf's.
    env.commands().executables = {{77, "/usr/bin/direwolf"}, {78, "/opt/direwolf/bin/direwolf"}};
    listeners({{8001, {77}}, {8000, {77, 78}}}, /*leavesOn=*/-1);
    const auto start = env.clock().now();
    reap(ServiceID::direwolf, {}, direwolfOn(8001, 8000));

    EXPECT_TRUE(env.clock().advanceUntil([&] { return done; }, 10s));
    // The same process on both ports is asked twice.
    EXPECT_EQ(sentSignals(), (std::vector<std::pair<int64_t, int>>{
                             {77, SIGTERM}, {77, SIGTERM}, {78, SIGTERM}, {77, SIGKILL}, {77, SIGKILL}, {78, SIGKILL}}));
    const auto &sleeps = env.clock().sleepLog();
    ASSERT_FALSE(sleeps.empty());
    EXPECT_EQ(sleeps.back(), 500ms);
    EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 100ms), 30);
    EXPECT_EQ(env.clock().now() - start, 3500ms);
    // While waiting, the first busy port is enough to keep waiting.
    EXPECT_EQ(env.commands().callsOf("lsof").size(), 2u + 30u + 2u);
    EXPECT_TRUE(env.log().contains("[ServiceOrchestrator] SIGKILL'ing pid 78 still holding port 8000"));
    EXPECT_FALSE(env.log().contains("clear after SIGTERM reap"));
}

// By the time a cut-short start would kill, the listener may be the child of the start after it.
TEST_F(PortReaperTest, AReapingCutShortStopsWaitingAndKillsNothing)
{
    env.commands().executables = {{77, "/usr/bin/rigctld"}};
    listeners({{4532, {77}}}, /*leavesOn=*/-1);
    std::stop_source cancel;
    reap(ServiceID::rigctld, rigctldOn(4532), {}, cancel.get_token());
    env.clock().advance(1000ms);
    cancel.request_stop();
    ASSERT_TRUE(env.clock().advanceUntil([&] { return done; }, 0ms));
    EXPECT_EQ(sentSignals(), (std::vector<std::pair<int64_t, int>>{{77, SIGTERM}}));
}

TEST_F(PortReaperTest, OnlyTheServicesOwnProgramIsSignalled)
{
    // Another program of the user on the port, one whose program can't be told, the helper
    // itself and identifiers that name process groups: none is signalled, and the start is told
    // why it can't have the port.
    const int32_t self = static_cast<int32_t>(QCoreApplication::applicationPid());
    env.commands().executables = {{500, "/usr/bin/python3.11"}, {self, "/usr/bin/rigctld"}};
    listeners({{4532, {500, 501, self, 0, -1}}}, /*leavesOn=*/-1);
    reap(ServiceID::rigctld, rigctldOn(4532));
    EXPECT_TRUE(done);
    EXPECT_TRUE(env.commands().signalsSent.empty());
    EXPECT_TRUE(env.clock().sleepLog().empty());
    EXPECT_EQ(held, QString::fromUtf8("rigctld's port 4532 is in use by another of your programs (python3.11, pid 500) "
                                      "\u2014 stop it or choose another port"));
    ASSERT_EQ(env.log().entries.size(), 3u);
    EXPECT_EQ(env.log().entries[0].message, "[ServiceOrchestrator] rigctld port 4532 is held by python3.11 (pid 500), "
                                            "which is not rigctld: leaving it running");
    EXPECT_EQ(env.log().entries[1].message, "[ServiceOrchestrator] rigctld port 4532 is held by an unknown program "
                                            "(pid 501), which is not rigctld: leaving it running");

    // Beside a stale Direwolf that leaves, a foreign listener on the other port still fails the
    // start; a Direwolf under another name is known by the configured program file.
    env.log().entries.clear();
    env.commands().executables = {{600, "/usr/bin/socat"}, {601, "/usr/bin/sleep"}};
    listeners({{8001, {600}}, {8000, {601}}});
    DirewolfConfig configured = direwolfOn(8001, 8000);
    configured.direwolfPath = QStringLiteral("/usr/bin/sleep");
    done = false;
    reap(ServiceID::direwolf, {}, configured);
    EXPECT_TRUE(env.clock().advanceUntil([&] { return done; }, 10s));
    EXPECT_EQ(sentSignals(), (std::vector<std::pair<int64_t, int>>{{601, SIGTERM}}));
    EXPECT_EQ(held, QString::fromUtf8("Direwolf's KISS port 8001 is in use by another of your programs (socat, pid 600) "
                                      "\u2014 stop it or choose another port"));

    // A listener whose program can't be read is not named.
    env.commands().executables.clear();
    listeners({{8000, {602}}}, /*leavesOn=*/-1);
    done = false;
    reap(ServiceID::direwolf, {}, direwolfOn(8001, 8000));
    EXPECT_TRUE(env.clock().advanceUntil([&] { return done; }, 10s));
    EXPECT_EQ(held, "Direwolf's AGW port 8000 is in use (its owner can't be read)");
}

} // namespace
} // namespace cordavelle
