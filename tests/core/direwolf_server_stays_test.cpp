// A running Direwolf keyed through the client's rig-control server while avahi-daemon starts over.
#include "core/config_store.h"
#include "core/direwolf_start_path.h"
#include "core/service_orchestrator.h"
#include "radio/direwolf_config_manager.h"
#include "radio/rig_control_server_discovery.h"
#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/listening_stand_in.h"
#include "support/local_ports.h"
#include "support/orchestrator_fixture.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QTcpServer>

#include <gtest/gtest.h>

#include <tuple>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

class DirewolfServerStaysTest : public test::OrchestratorTest {
protected:
    DirewolfServerStaysTest() { watchChildren(); }
    int linesContaining(const QString &text) { return env.log().messages().filter(text).size(); }
    const QString ready = env.root() + QStringLiteral("/listening");
};

// The browse started over after the daemon's return lists nothing until the client has announced
// its server again, though the server never went: Direwolf keeps it for the grace, and is restarted
// only when it is still not listed after that, or listed at another port.
TEST_F(DirewolfServerStaysTest, TheServerKeepsItsPlaceAfterTheDaemonStartsOver)
{
    const QString type = RigControlServerDiscovery::kServiceType;
    QTcpServer servers[2];
    QString ports[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(servers[i].listen(QHostAddress::LocalHost));
        ports[i] = QString::number(servers[i].serverPort());
    }
    const auto advertised = [&](const QString &port) {
        return QList<BonjourBrowseResult>{test::FakeBonjour::result(QStringLiteral("IC-7300 server"), type,
                                                                    BonjourTxtRecord({{"radio", "IC-7300"}, {"port", port}}))};
    };
    const auto restartDaemon = [&] {
        env.bonjour().stopDaemon();
        env.bonjour().setResults(type, {});
        env.bonjour().startDaemon();
        test::ManualClock::processEvents();
    };
    discovery.startBrowsing();
    env.bonjour().setResults(type, advertised(ports[0]));
    test::ManualClock::processEvents();
    const QString binary = env.root() + QStringLiteral("/direwolf");
    ASSERT_TRUE(test::writeProgram(binary, test::listeningStandIn(ready, false)));
    DirewolfConfig dw;
    dw.callsign = QStringLiteral("N0CALL");
    dw.direwolfPath = binary;
    std::tie(dw.kissPort, dw.agwPort) = test::twoFreeTcpPorts();
    dw.pttMethod = DirewolfPTTMethod::nativeCorvexa();
    dw.nativeRigControlRadioName = QStringLiteral("IC-7300");
    config.setDirewolfConfig(dw);
    auto outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
    const qint64 first = orchestrator->direwolfProcess().pid().value_or(0);
    ASSERT_NE(first, 0);

    // Announced again 2 s after the daemon's return: nothing restarts.
    restartDaemon();
    EXPECT_TRUE(env.clock().runUntil([&] { return env.log().contains("keeps its place"); }, 1s));
    env.clock().advance(2s);
    env.bonjour().setResults(type, advertised(ports[0]));
    test::ManualClock::processEvents();
    EXPECT_TRUE(env.clock().runUntil([&] { return env.log().contains("is the one Direwolf keys through"); }, 1s));
    env.clock().advance(DirewolfStartPath::kServerAwayGrace);
    test::ManualClock::processEvents();
    EXPECT_EQ(orchestrator->direwolfProcess().pid(), first);
    EXPECT_EQ(linesContaining("Running on KISS port"), 1);

    // Announced again at another port: Direwolf follows it at once.
    restartDaemon();
    QFile::remove(ready);
    env.bonjour().setResults(type, advertised(ports[1]));
    test::ManualClock::processEvents();
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return linesContaining("Running on KISS port") == 2; }, test::standInReady(ready), 10s));
    QFile conf(DirewolfConfigManager::configPath());
    ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
    EXPECT_TRUE(conf.readAll().contains("PTT RIG 2 127.0.0.1:" + ports[1].toUtf8()));
}

} // namespace
} // namespace cordavelle
