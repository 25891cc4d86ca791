// Which rig-control server Direwolf keys through, of the adverts listed, and when the keep-alive
// request goes out, with stand-in programs and the test's clock.

#include "start_paths_fixture.h"

#include "core/direwolf_start_path.h"
#include "radio/direwolf_config_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include <QFile>
#include <QTcpServer>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using test::StartPathsTest;

// Direwolf keys the radio through whatever answers at the advertised port: only a server whose
// every listener is the user's own is taken, and one whose listeners can't be told is not.
TEST(RigControlServer, IsTakenOnlyWhenEveryListenerOnItsPortIsTheUsers)
{
    constexpr unsigned user = 1000;
    constexpr unsigned her = 1001;
    struct Row {
        std::optional<std::vector<PortListener>> listeners;
        std::optional<QString> refusal;
    };
    const QString notTheUsers = QStringLiteral("is not a program of this user");
    const Row rows[] = {
        {std::vector<PortListener>{{user, 1}}, std::nullopt},
        {std::vector<PortListener>{{user, 1}, {user, 2}}, std::nullopt},
        {std::vector<PortListener>{}, QStringLiteral("has nothing listening")},
        {std::vector<PortListener>{{her, 1}}, notTheUsers},
        {std::vector<PortListener>{{user, 1}, {her, 2}}, notTheUsers},
        {std::vector<PortListener>{{her, 1}, {user, 2}}, notTheUsers},
        {std::nullopt, QStringLiteral("whose listener can't be looked up, may not be a program of this user")},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rigControlServerRefusal(rows[i].listeners, user), rows[i].refusal);
    }
}

// Every host's adverts are listed and anyone may advertise any radio at any port: only a server of
// this machine's for the named radio, at no port of the helper's nor of another radio's advert,
// that is the user's own and the only one so, is taken; each advert refused is named with why.
TEST(RigControlServer, TheFirstOfTheUsersOwnIsChosenAndTheOnesBeforeItNamed)
{
    constexpr unsigned user = 1000;
    constexpr unsigned her = 1001;
    // 5001 hers, 5002 and 5006 the user's, 5003 and 5004 another host's (nothing listens here),
    // 5005 not to be looked up.
    const PortListenerLookup listeners = [](quint16 port) -> std::optional<std::vector<PortListener>> {
        switch (port) {
        case 5001: return std::vector<PortListener>{{her, 1}};
        case 5002: return std::vector<PortListener>{{user, 2}};
        case 5006: return std::vector<PortListener>{{user, 6}};
        case 5005: return std::nullopt;
        default: return std::vector<PortListener>{};
        }
    };
    const QString notTheUsers = QStringLiteral("is not a program of this user");
    const QString nothing = QStringLiteral("has nothing listening");
    const QString anotherRadio = QStringLiteral("is advertised for another radio");
    const QString helpers = QStringLiteral("is at a port of the helper's own");
    const QString several = QStringLiteral("is one of several servers advertised for the radio");
    RigControlServerSurroundings surroundings;
    // The API's and the keep-alive request's listeners, the user's own.
    surroundings.helperPorts = {8380, 5007};
    surroundings.listeners = [&listeners](quint16 port) {
        return port == 8380 || port == 5007 ? std::optional(std::vector<PortListener>{{user, 9}}) : listeners(port);
    };
    surroundings.user = user;
    struct Row {
        const char *name;
        QList<RigControlServerEndpoint> servers;
        QString radio;
        RigControlServerChoice choice;
        QList<RigControlServerEndpoint> rivals = {};
    };
    const QString notOurs = QStringLiteral("is not announced by this machine as its own, pointing at ");
    const Row rows[] = {
        {"hers first for the same radio",
         {{"IC-7300", 5001}, {"IC-7300", 5002}},
         "IC-7300",
         {RigControlServerEndpoint{"IC-7300", 5002}, {{{"IC-7300", 5001}, notTheUsers}}}},
        {"another host's first, no radio named",
         {{"FT-991", 5003}, {"IC-7300", 5002}},
         "",
         {RigControlServerEndpoint{"IC-7300", 5002}, {{{"FT-991", 5003}, nothing}}}},
        {"the named radio's only, none usable, the name trimmed",
         {{"FT-991", 5002}, {"IC-7300", 5001}, {"IC-7300", 5004}, {"IC-7300", 5005}},
         " IC-7300\t",
         {std::nullopt,
          {{{"IC-7300", 5001}, notTheUsers},
           {{"IC-7300", 5004}, nothing},
           {{"IC-7300", 5005}, "whose listener can't be looked up, may not be a program of this user"}}}},
        {"none when the named one is not advertised: another radio's would key the wrong transmitter",
         {{"FT-991", 5003}, {"TS-590", 5006}},
         "IC-7300",
         {std::nullopt, {{{"FT-991", 5003}, anotherRadio}, {{"TS-590", 5006}, anotherRadio}}}},
        {"hers for the radio at the port of the user's other radio",
         {{"IC-705", 5006}, {"IC-7300", 5006}, {"IC-7300", 5002}},
         "IC-7300",
         {RigControlServerEndpoint{"IC-7300", 5002}, {{{"IC-7300", 5006}, "shares its port with the advert for radio 'IC-705'"}}}},
        {"at the helper's own ports, which the user's programs hold",
         {{"IC-7300", 8380}, {"IC-7300", 5007}},
         "IC-7300",
         {std::nullopt, {{{"IC-7300", 8380}, helpers}, {{"IC-7300", 5007}, helpers}}}},
        {"another host's, first",
         {{"IC-7300", 5006, "other.local.", false}, {"IC-7300", 5002}},
         "IC-7300",
         {RigControlServerEndpoint{"IC-7300", 5002},
          {{{"IC-7300", 5006, "other.local.", false}, "is not announced by this machine as its own, pointing at other.local"}}}},
        {"two ports of the user's: neither is sure",
         {{"IC-7300", 5002}, {"IC-7300", 5006}, {"IC-7300", 5002}},
         "IC-7300",
         {std::nullopt, {{{"IC-7300", 5002}, several}, {{"IC-7300", 5006}, several}}}},
        {"another host's, naming this machine or one of its addresses: where an advert points proves nothing",
         {{"IC-7300", 5006, "testhost.local.", false}, {"IC-7300", 5002, "127.0.0.1", false}},
         "IC-7300",
         {std::nullopt,
          {{{"IC-7300", 5006, "testhost.local.", false}, notOurs + "testhost.local"},
           {{"IC-7300", 5002, "127.0.0.1", false}, notOurs + "127.0.0.1"}}}},
        {"another host's advert for another radio at the user's port refuses nothing of the user's",
         {{"IC-705", 5002, "other.local.", false}, {"IC-7300", 5002}},
         "IC-7300",
         {RigControlServerEndpoint{"IC-7300", 5002}, {}}},
        {"a rival of the server Direwolf was keyed through, alone at a gap",
         {{"IC-7300", 5006}},
         "IC-7300",
         {std::nullopt, {{{"IC-7300", 5006}, several}}},
         {{"IC-7300", 5006}}},
        {"a repeated advert named once",
         {{"IC-7300", 5001}, {"IC-7300", 5001}},
         "",
         {std::nullopt, {{{"IC-7300", 5001}, notTheUsers}}}},
        {"nothing listed", {}, "IC-7300", {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        surroundings.rivals = row.rivals;
        EXPECT_EQ(chooseRigControlServer(row.servers, row.radio, surroundings), row.choice);
    }
}

// Of two servers for one radio, which is the client's can't be told: the one Direwolf was keyed
// through is kept, and the other never takes its place.
TEST(RigControlServer, RivalsAreTheServersThatWouldBeTakenButForAnotherForTheirRadio)
{
    constexpr unsigned user = 1000;
    RigControlServerSurroundings surroundings;
    surroundings.user = user;
    // 5001 another user's, the rest the user's.
    surroundings.listeners = [](quint16 port) -> std::optional<std::vector<PortListener>> {
        return std::vector<PortListener>{{port == 5001 ? user + 1 : user, 1}};
    };
    const RigControlServerEndpoint x{"IC-7300", 5002};
    const RigControlServerEndpoint w{"IC-7300", 5006};
    struct Row {
        const char *name;
        QList<RigControlServerEndpoint> servers;
        QString radio;
        std::optional<RigControlServerEndpoint> kept;
        QList<RigControlServerEndpoint> rivals;
    };
    const Row rows[] = {
        {"beside the one kept", {x, w}, "IC-7300", x, {w}},
        {"two while none was kept", {w, x}, "IC-7300", std::nullopt, {w, x}},
        {"each radio's own, with none named", {x, w, {"FT-991", 5007}}, "", x, {w}},
        {"another user's contests nothing", {x, {"IC-7300", 5001}}, "IC-7300", std::nullopt, {}},
        {"another host's contests nothing", {x, {"IC-7300", 5006, "other.local.", false}}, "IC-7300", std::nullopt, {}},
        {"another radio's contests nothing", {x, {"FT-991", 5006}}, "IC-7300", std::nullopt, {}},
        {"the same port twice is one server", {x, x}, "IC-7300", std::nullopt, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        surroundings.rivals.clear();
        noteRigControlRivals(row.servers, row.radio, row.kept, surroundings);
        EXPECT_EQ(surroundings.rivals, row.rivals);
    }
}

// Another server of the user's advertised for his radio beside the one Direwolf keys through
// (another user's program of his machine, say, waiting for the client's to go) never moves it,
// even while the client restarts its own.
TEST_F(StartPathsTest, ARivalNeverTakesThePlaceOfTheServerDirewolfKeysThrough)
{
    const QString type = RigControlServerDiscovery::kServiceType;
    QTcpServer servers[2];
    QString ports[2];
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(servers[i].listen(QHostAddress::LocalHost));
        ports[i] = QString::number(servers[i].serverPort());
    }
    const auto publish = [&](const QStringList &at) {
        QList<BonjourBrowseResult> results;
        for (const QString &port : at) {
            results << test::FakeBonjour::result(QStringLiteral("server ") + port, type,
                                                 BonjourTxtRecord({{"radio", "IC-7300"}, {"port", port}}));
        }
        env.bonjour().setResults(type, results);
        test::ManualClock::processEvents();
    };
    const auto keyedThrough = [&](const QString &port) {
        QFile conf(DirewolfConfigManager::configPath());
        return conf.open(QIODevice::ReadOnly) && conf.readAll().contains("PTT RIG 2 127.0.0.1:" + port.toUtf8());
    };
    discovery.startBrowsing();
    publish({ports[0]});
    DirewolfConfig dw = direwolf(listening(QStringLiteral("direwolf")));
    dw.pttMethod = DirewolfPTTMethod::nativeCorvexa();
    dw.nativeRigControlRadioName = QStringLiteral("IC-7300");
    config.setDirewolfConfig(dw);
    auto outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
    ASSERT_TRUE(keyedThrough(ports[0]));
    const qint64 first = orchestrator->direwolfProcess().pid().value_or(0);

    publish({ports[0], ports[1]});
    EXPECT_TRUE(env.clock().runUntil([&] { return env.log().contains("is the one Direwolf keys through"); }, 0ms));
    // The client's server goes for a while, and comes back.
    publish({ports[1]});
    EXPECT_TRUE(env.clock().runUntil([&] { return linesContaining("with no usable endpoint") == 1; }, 1s));
    // Past the grace of a gap, the rival alone is still a rival.
    env.clock().advance(DirewolfStartPath::kServerAwayGrace + 1s);
    test::ManualClock::processEvents();
    EXPECT_EQ(linesContaining("Re-rendering config and restarting"), 0);
    EXPECT_EQ(orchestrator->direwolfProcess().pid(), first);
    QFile::remove(ready);
    publish({ports[1], ports[0]});
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return linesContaining("Running on KISS port") == 2; }, test::standInReady(ready), 10s));
    EXPECT_TRUE(keyedThrough(ports[0]));

    // A new start forgets the rival: alone, it is the server.
    orchestrator->stopService(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, {}));
    publish({ports[1]});
    QFile::remove(ready);
    outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
    EXPECT_TRUE(keyedThrough(ports[1]));
    EXPECT_TRUE(env.clock().runUntil([&] { return linesContaining("endpoint-change guard cleared") == 1; }, 5s));

    // One that appears only at a gap waits out the grace, and becomes a rival when the server
    // comes back within it.
    const int starts = linesContaining("Running on KISS port");
    publish({ports[0]});
    EXPECT_TRUE(env.clock().runUntil([&] { return env.log().contains("appeared while the server Direwolf was keyed through is away"); }, 1s));
    QFile::remove(ready);
    publish({ports[0], ports[1]});
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return linesContaining("Running on KISS port") == starts + 1; }, test::standInReady(ready), 10s));
    EXPECT_TRUE(keyedThrough(ports[1]));
    EXPECT_TRUE(env.clock().runUntil([&] { return linesContaining("endpoint-change guard cleared") == 2; }, 5s));
    publish({ports[0]});
    env.clock().advance(DirewolfStartPath::kServerAwayGrace + 1s);
    test::ManualClock::processEvents();
    EXPECT_EQ(linesContaining("Running on KISS port"), starts + 1);

    // A server that moved for good is taken once the grace is over.
    orchestrator->stopService(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, {}));
    QFile::remove(ready);
    outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
    EXPECT_TRUE(keyedThrough(ports[0]));
    const int moved = linesContaining("Running on KISS port");
    QFile::remove(ready);
    publish({ports[1]});
    env.clock().advance(5s);
    test::ManualClock::processEvents();
    EXPECT_EQ(linesContaining("Running on KISS port"), moved);
    ASSERT_TRUE(runUntilSettled(
        ServiceID::direwolf, [&] { return linesContaining("Running on KISS port") == moved + 1; }, test::standInReady(ready), 20s));
    EXPECT_TRUE(keyedThrough(ports[1]));
}

// The helper's own ports are the user's programs too, so only their being the helper's keeps an
// advert for the user's radio there from keying Direwolf through them.
TEST_F(StartPathsTest, AnAdvertAtAPortOfTheHelpersOwnIsPassedOver)
{
    const QString type = RigControlServerDiscovery::kServiceType;
    const auto advertiseAt = [&](quint16 port) {
        env.bonjour().setResults(type, {test::FakeBonjour::result(QStringLiteral("server"), type,
                                                                  BonjourTxtRecord({{"radio", "IC-7300"}, {"port", QString::number(port)}}))});
        test::ManualClock::processEvents();
    };
    const auto passedOver = [&](quint16 port) {
        return env.log().contains(QString::fromUtf8("'IC-7300' at 127.0.0.1:%1 is at a port of the helper's own \u2014 passed over")
                                      .arg(port));
    };
    DirewolfConfig dw = direwolf(listening(QStringLiteral("direwolf")));
    dw.pttMethod = DirewolfPTTMethod::nativeCorvexa();
    dw.nativeRigControlRadioName = QStringLiteral("IC-7300");
    config.setDirewolfConfig(dw);
    discovery.startBrowsing();
    const auto startDirewolf = [&] {
        QFile::remove(ready);
        auto outcome = start(ServiceID::direwolf);
        EXPECT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
        EXPECT_EQ(outcome->error, std::nullopt);
    };
    const auto stopDirewolf = [&] {
        orchestrator->stopService(ServiceID::direwolf);
        EXPECT_TRUE(runUntilSettled(
            ServiceID::direwolf, [&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, {}));
    };

    // Listed when the start looks: the API's port, the managed rigctld's, VARA's.
    test::VaraPortsLock vara;
    ASSERT_TRUE(vara.held());
    const quint16 api = test::freeTcpPort();
    ASSERT_EQ(config.setApiPort(api), std::nullopt);
    RigctldConfig rig = rigctld(QStringLiteral("/nonexistent/rigctld"));
    config.setRigctldConfig(rig);
    for (const quint16 port : {api, quint16(rig.tcpPort), quint16(8300), quint16(8301)}) {
        SCOPED_TRACE(port);
        QTcpServer users;
        ASSERT_TRUE(users.listen(QHostAddress::LocalHost, port));
        advertiseAt(port);
        startDirewolf();
        EXPECT_TRUE(passedOver(port));
        stopDirewolf();
    }

    // Appearing during the start's wait: the keep-alive request's own listener.
    env.bonjour().setResults(type, {});
    QFile::remove(ready);
    auto waiting = start(ServiceID::direwolf);
    ASSERT_TRUE(env.clock().runUntil([&] { return keepalive.listeningPort().has_value(); }, 1s));
    const quint16 request = *keepalive.listeningPort();
    advertiseAt(request);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return waiting->done; }, test::standInReady(ready)));
    EXPECT_TRUE(passedOver(request));

    // Appearing while Direwolf runs: its own KISS and AGW ports, where it listens as the user.
    for (const int port : {dw.kissPort, dw.agwPort}) {
        SCOPED_TRACE(port);
        const int before = linesContaining("with no usable endpoint");
        advertiseAt(quint16(port));
        EXPECT_TRUE(env.clock().runUntil([&] { return linesContaining("with no usable endpoint") == before + 1; }, 1s));
        EXPECT_TRUE(env.log().contains(QStringLiteral("IC-7300@%1 is at a port of the helper's own").arg(port)));
    }
    // They stay the helper's while it runs, though the settings name others by now.
    DirewolfConfig moved = dw;
    std::tie(moved.kissPort, moved.agwPort) = test::twoFreeTcpPorts();
    config.setDirewolfConfig(moved);
    const int before = linesContaining(QStringLiteral("IC-7300@%1 is at a port of the helper's own").arg(dw.kissPort));
    advertiseAt(quint16(dw.kissPort));
    EXPECT_TRUE(env.clock().runUntil(
        [&] { return linesContaining(QStringLiteral("IC-7300@%1 is at a port of the helper's own").arg(dw.kissPort)) == before + 1; },
        1s));
    EXPECT_EQ(linesContaining("Running on KISS port"), 5);
}

// The client may open a radio's server only when asked: another radio's server, or another host's
// advert for the radio, is no reason to leave the request out, and no reason to end the wait.
TEST_F(StartPathsTest, TheKeepaliveRequestGoesOutWhereThisMachineAnnouncesNoServerForTheRadio)
{
    const QString type = RigControlServerDiscovery::kServiceType;
    QTcpServer users;
    ASSERT_TRUE(users.listen(QHostAddress::LocalHost));
    const QString port = QString::number(users.serverPort());
    DirewolfConfig dw = direwolf(listening(QStringLiteral("direwolf")));
    dw.pttMethod = DirewolfPTTMethod::nativeCorvexa();
    dw.nativeRigControlRadioName = QStringLiteral("IC-7300");
    config.setDirewolfConfig(dw);
    discovery.startBrowsing();
    struct Row {
        const char *name;
        BonjourBrowseResult listed;
    };
    const Row rows[] = {
        {"another radio's server", test::FakeBonjour::result("705", type, BonjourTxtRecord({{"radio", "IC-705"}, {"port", port}}))},
        {"another host's advert for the radio",
         test::FakeBonjour::result("7300", type, BonjourTxtRecord({{"radio", "IC-7300"}, {"port", port}}), false, "other.local.")},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        env.bonjour().setResults(type, {row.listed});
        test::ManualClock::processEvents();
        QFile::remove(ready);
        const auto began = env.clock().now();
        auto outcome = start(ServiceID::direwolf);
        ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
        EXPECT_EQ(keepalive.advertisedRadioName(), "IC-7300");
        EXPECT_GE(env.clock().now() - began, ServiceOrchestrator::kRigControlServerWait);
        EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);
        orchestrator->stopService(ServiceID::direwolf);
        ASSERT_TRUE(runUntilSettled(
            ServiceID::direwolf, [&] { return orchestrator->direwolfProcess().state() == ServiceRunState::stopped; }, {}));
    }
}

} // namespace
} // namespace cordavelle
