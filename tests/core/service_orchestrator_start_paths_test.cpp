// The start paths' own checks and decisions, with stand-in programs and the test's clock. The
// real rigctld, Direwolf and a stand-in modem are driven in integration/exclusive.

#include "api/api_router.h"
#include "api/pairing_manager.h"
#include "base/helper_places.h"
#include "base/helper_error.h"
#include "core/config_store.h"
#include "core/direwolf_start_path.h"
#include "core/orchestrator_service_control.h"
#include "core/service_addresses.h"
#include "core/service_orchestrator.h"
#include "platform/paths.h"
#include "platform/program_file.h"
#include "radio/audio_device_manager.h"
#include "radio/direwolf_config_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/fixed_port_lock.h"
#include "support/listening_stand_in.h"
#include "support/local_ports.h"
#include "support/orchestrator_fixture.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <tuple>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

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
        EXPECT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 60s));
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

TEST_F(StartPathsTest, RigctldCommandLineFollowsTheConnection)
{
    RigctldConfig rig;
    const QStringList base{"-m", "1", "-T", "127.0.0.1", "-t", "4532", "-vvvv"};
    EXPECT_EQ(ServiceOrchestrator::rigctldArguments(rig, "127.0.0.1"), base);

    rig.serialPort = QStringLiteral("/dev/ttyUSB0");
    EXPECT_EQ(ServiceOrchestrator::rigctldArguments(rig, "127.0.0.1"),
              base + (QStringList{"-r", "/dev/ttyUSB0", "-s", "19200"}));

    rig.connectionType = RigConnectionType::network;
    rig.rigModel = 3073;
    EXPECT_EQ(ServiceOrchestrator::rigctldArguments(rig, "0.0.0.0"),
              (QStringList{"-m", "3073", "-T", "0.0.0.0", "-t", "4532", "-vvvv", "-r", "127.0.0.1:4992"}));
}

// rigctld takes one address, Direwolf and VARA every IPv4 one: the helper holds the IPv6 address
// the child leaves open, the loopback one or with network access every one.
TEST(ServiceAddresses, TheOtherFamilyIsTheChildsOwnOrHeldByTheHelper)
{
    using Address = PortHold::Address;
    struct Row {
        ServiceID id;
        bool networkAccess;
        bool bothFamilies;
        const char *rigctldAddress;
        std::optional<Address> held;
    };
    const Row rows[] = {
        {ServiceID::rigctld, false, true, "127.0.0.1", Address::ipv6Loopback},
        {ServiceID::rigctld, true, true, "::", std::nullopt},
        {ServiceID::rigctld, true, false, "0.0.0.0", Address::ipv6Any},
        {ServiceID::direwolf, false, true, "127.0.0.1", Address::ipv6Loopback},
        {ServiceID::direwolf, true, true, "::", Address::ipv6Any},
        {ServiceID::varaHF, true, true, "::", Address::ipv6Any},
        {ServiceID::varaFM, false, false, "127.0.0.1", Address::ipv6Loopback},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(toRaw(row.id).toStdString() + (row.networkAccess ? " network" : " local")
                     + (row.bothFamilies ? " dual" : " v4"));
        EXPECT_EQ(rigctldListenAddress(row.networkAccess, row.bothFamilies), row.rigctldAddress);
        EXPECT_EQ(otherFamilyHold(row.id, row.networkAccess, row.bothFamilies), row.held);
    }
}

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

TEST_F(StartPathsTest, RefusalsComeBeforeAnythingIsKilledOrLaunched)
{
    holdVaraPorts();
    EXPECT_EQ(startAndWait(ServiceID::rigctld), HelperError::rigctldNotFound().description());

    // An Intel-only build on Apple silicon: 64-bit Mach-O, CPU type x86_64.
    env.systemInfo().architecture = QStringLiteral("arm64");
    const QString intel = file(QStringLiteral("intel"), QByteArray("\xcf\xfa\xed\xfe\x07\x00\x00\x01", 8) + QByteArray(24, '\0'));
    RigctldConfig rig;
    rig.rigctldPath = intel;
    config.setRigctldConfig(rig);
    EXPECT_EQ(startAndWait(ServiceID::rigctld), HelperError::binaryIntelOnAppleSilicon("rigctld", intel).description());

    DirewolfConfig dw = direwolf(QString());
    dw.callsign = QStringLiteral(" \t ");
    config.setDirewolfConfig(dw);
    EXPECT_EQ(startAndWait(ServiceID::direwolf), HelperError::direwolfNoCallsign().description());
    dw.callsign = QStringLiteral("N0CALL");
    config.setDirewolfConfig(dw);
    EXPECT_EQ(startAndWait(ServiceID::direwolf), HelperError::direwolfNotFound().description());
    dw.direwolfPath = intel;
    config.setDirewolfConfig(dw);
    EXPECT_EQ(startAndWait(ServiceID::direwolf), HelperError::binaryIntelOnAppleSilicon("direwolf", intel).description());

    // A folder where direwolf.conf belongs can't be replaced by the file.
    env.systemInfo().architecture = QStringLiteral("x86_64");
    QDir().mkpath(DirewolfConfigManager::configPath() + QStringLiteral("/taken"));
    const auto error = startAndWait(ServiceID::direwolf);
    EXPECT_TRUE(error && error->startsWith("Could not write Direwolf config: ")) << error.value_or("none").toStdString();

    EXPECT_EQ(startAndWait(ServiceID::varaHF), HelperError::wineNotFound().description());
    // A Wine that can't run 32-bit programs is named, not taken for no Wine at all.
    const QString only64Bit = env.hostPath(QStringLiteral("/usr/bin/wine"));
    ASSERT_TRUE(test::writeProgram(only64Bit));
    ASSERT_TRUE(QDir().mkpath(env.hostPath(QStringLiteral("/usr/lib/wine/x86_64-windows"))));
    EXPECT_EQ(startAndWait(ServiceID::varaHF), "Wine not found: the Wine at " + only64Bit +
                                                   " cannot run 32-bit programs, and VARA is one");
    VARAFMConfig fm;
    fm.winePath = QStringLiteral("/usr/bin/wine"); // also serves VARA HF, whose own is empty
    config.setVaraFMConfig(fm);
    EXPECT_EQ(startAndWait(ServiceID::varaHF), HelperError::varaNotInstalled().description());

    // Installed means the modem's program stands in the prefix, whatever the settings say.
    EXPECT_FALSE(ServiceOrchestrator::isVARAInstalled(VARAVariant::fm));
    QDir().mkpath(places::winePrefix() + QStringLiteral("/drive_c/VARA FM"));
    QFile exe(places::winePrefix() + QStringLiteral("/drive_c/VARA FM/VARAFM.exe"));
    ASSERT_TRUE(exe.open(QIODevice::WriteOnly));
    exe.close();
    EXPECT_TRUE(ServiceOrchestrator::isVARAInstalled(VARAVariant::fm));
    EXPECT_FALSE(ServiceOrchestrator::isVARAInstalled(VARAVariant::hf));

    EXPECT_TRUE(env.commands().journal.filter("pkill").isEmpty()) << env.commands().journal.join('\n').toStdString();
    EXPECT_TRUE(children.empty());
}

// A settings file may name any program, and a link may be re-pointed after its path was stored:
// every start looks again, and runs the file the links led to when it looked.
TEST_F(StartPathsTest, AProgramAnotherUserCouldChangeIsNeverLaunched)
{
    holdVaraPorts();
    const QString open = env.root() + QStringLiteral("/open");
    const QString ran = env.root() + QStringLiteral("/ran");
    const QString theirs = file(QStringLiteral("open/tool"), "#!/bin/sh\ntouch '" + ran.toUtf8() + "'\nexec sleep 600\n");
    ASSERT_EQ(::chmod(QFile::encodeName(open).constData(), 0777), 0);
    const QString wine = script(QStringLiteral("wine"), "exec sleep 600");
    ASSERT_TRUE(test::writeProgram(places::winePrefix() + QStringLiteral("/drive_c/VARA/VARA.exe"), "MZ", false));

    RigctldConfig rig;
    rig.rigctldPath = theirs;
    config.setRigctldConfig(rig);
    config.setDirewolfConfig(direwolf(theirs));
    VARAConfig hf;
    hf.winePath = theirs;
    hf.varaPath = QStringLiteral("C:\\VARA\\VARA.exe");
    config.setVaraConfig(hf);
    VARAFMConfig fm;
    fm.winePath = wine;
    fm.varaPath = theirs;
    config.setVaraFMConfig(fm);
    const QString because = QStringLiteral(" can be changed by another user (the folder %1 is writable by others) \u2014 "
                                           "choose a program only you or root can change")
                                .arg(open);
    const std::pair<ServiceID, QString> refused[] = {
        {ServiceID::rigctld, QStringLiteral("rigctld at ") + theirs + because},
        {ServiceID::direwolf, QStringLiteral("Direwolf at ") + theirs + because},
        {ServiceID::varaHF, QStringLiteral("Wine for VARA HF at ") + theirs + because},
        {ServiceID::varaFM, QStringLiteral("VARA FM at ") + theirs + because},
    };
    for (const auto &[id, message] : refused) {
        EXPECT_EQ(startAndWait(id), message);
        EXPECT_EQ(orchestrator->process(id).lastLaunchCommand(), std::nullopt);
    }
    // A modem program Wine would have to search for is not launched either.
    fm.varaPath = QStringLiteral("C:\\VARA\\Other.exe");
    config.setVaraFMConfig(fm);
    EXPECT_EQ(startAndWait(ServiceID::varaFM), HelperError::varaNotInstalled().description());
    EXPECT_TRUE(env.commands().journal.filter("pkill").isEmpty());

    // The user's own link to their own program passes, and the program is run by its own path.
    const QString own = script(QStringLiteral("bin/rigctld"), "exec sleep 600");
    const QString link = env.root() + QStringLiteral("/rig");
    ASSERT_TRUE(QFile::link(own, link));
    const ProgramFile ownLink = inspectProgramFile(link);
    ASSERT_FALSE(ownLink.changeable || ownLink.unusable);
    rig.rigctldPath = link;
    config.setRigctldConfig(rig);
    ASSERT_EQ(startAndWait(ServiceID::rigctld), std::nullopt);
    EXPECT_TRUE(orchestrator->rigctldProcess().lastLaunchCommand().value_or(QString()).startsWith(own + " -m 1"));
    orchestrator->stopService(ServiceID::rigctld);
    ASSERT_TRUE(env.clock().runUntil([&] { return orchestrator->rigctldProcess().state() != ServiceRunState::stopping; }, 5s));

    // Re-pointed after it was stored.
    ASSERT_TRUE(QFile::remove(link));
    ASSERT_TRUE(QFile::link(theirs, link));
    EXPECT_EQ(startAndWait(ServiceID::rigctld), QStringLiteral("rigctld at ") + link + because);
    EXPECT_FALSE(QFile::exists(ran));

    // A script whose program is named from the folder Direwolf runs in is checked there, before
    // the rigctld it keys through is started: in the configuration's folder, the real one where
    // the support folder is named through "lnk/..".
    ASSERT_TRUE(QDir().mkpath(env.root() + QStringLiteral("/real/inner")));
    ASSERT_TRUE(QFile::link(env.root() + QStringLiteral("/real/inner"), env.root() + QStringLiteral("/lnk")));
    env.platform().setPaths(std::make_shared<RootedPaths>(env.root() + QStringLiteral("/lnk/..")));
    const QString runner = places::supportFolder() + QStringLiteral("/bin");
    ASSERT_TRUE(test::writeProgram(runner + QStringLiteral("/x"), test::listeningStandIn(ready)));
    ASSERT_EQ(::chmod(QFile::encodeName(runner).constData(), 0777), 0);
    DirewolfConfig relative = direwolf(file(QStringLiteral("relative"), "#!bin/x\n"));
    relative.pttMethod = DirewolfPTTMethod::rigctld();
    config.setDirewolfConfig(relative);
    const std::optional<QString> error = startAndWait(ServiceID::direwolf);
    EXPECT_TRUE(error && error->startsWith("Direwolf at " + relative.direwolfPath + " can be changed by another user"))
        << error.value_or("none").toStdString();
    EXPECT_EQ(linesContaining(QStringLiteral("auto-starting rigctld dependency")), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(runner).constData(), 0755), 0);
    config.setDirewolfConfig(direwolf(relative.direwolfPath));
    auto outcome = start(ServiceID::direwolf);
    ASSERT_TRUE(runUntilSettled(ServiceID::direwolf, [&] { return outcome->done; }, test::standInReady(ready)));
    EXPECT_EQ(outcome->error, std::nullopt);
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::running);
}

// A window has no one to throw to: what the start threw stands in the service's error line
// and its log, once, and goes with the next start or stop. The API's record is left as it was.
TEST_F(StartPathsTest, AStartFromAWindowShowsWhatItThrewUntilTheNextStartOrStop)
{
    holdVaraPorts();
    OrchestratorServiceControl services(*orchestrator);
    struct Case {
        const char *cause;
        ServiceID id;
        std::function<void()> arrange;
        QString error;
    };
    const Case cases[] = {
        {"rigctld not found", ServiceID::rigctld, [] {}, HelperError::rigctldNotFound().description()},
        {"Direwolf without a callsign", ServiceID::direwolf, [&] {
             DirewolfConfig dw = direwolf(QString());
             dw.callsign.clear();
             config.setDirewolfConfig(dw);
         },
         HelperError::direwolfNoCallsign().description()},
        {"Direwolf not found", ServiceID::direwolf, [&] { config.setDirewolfConfig(direwolf(QString())); },
         HelperError::direwolfNotFound().description()},
        {"VARA HF without Wine", ServiceID::varaHF, [] {}, HelperError::wineNotFound().description()},
        {"VARA FM not installed", ServiceID::varaFM,
         [&] {
             VARAFMConfig fm;
             fm.winePath = QStringLiteral("/usr/bin/wine");
             config.setVaraFMConfig(fm);
         },
         HelperError::varaNotInstalled().description()},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cause);
        c.arrange();
        ManagedProcess &process = orchestrator->process(c.id);
        const QString line = QStringLiteral("[ServiceOrchestrator] Start of %1 failed: %2").arg(toRaw(c.id), c.error);
        auto outcome = test::track(startFromWindow(services, c.id));
        ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 60s));
        EXPECT_EQ(outcome->error, std::nullopt);
        EXPECT_EQ(process.startError(), c.error);
        EXPECT_EQ(orchestrator->status(c.id).error, std::nullopt);
        EXPECT_EQ(linesContaining(line), 1);
        EXPECT_EQ(process.logLines().filter(line).size(), 1);

        // A start from elsewhere clears it, though it fails alike; a stop does too.
        EXPECT_TRUE(startAndWait(c.id));
        EXPECT_EQ(process.startError(), std::nullopt);
        outcome = test::track(startFromWindow(services, c.id));
        ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 60s));
        ASSERT_TRUE(process.startError());
        orchestrator->stopService(c.id);
        EXPECT_EQ(process.startError(), std::nullopt);
        EXPECT_EQ(linesContaining(line), 2);
    }
}

// However a start was asked for, and whatever refused it, its failure is one line in the log.
TEST_F(StartPathsTest, AFailedStartIsLoggedOnceWhicheverWayItWasAsked)
{
    config.setRequirePairing(false);
    PairingManager pairing(env.defaults(), env.clock(), env.keychain(), env.attention());
    OrchestratorServiceControl services(*orchestrator);
    const QString theirs = file(QStringLiteral("open/rigctld"), "#!/bin/sh\nexec sleep 600\n");
    ASSERT_EQ(::chmod(QFile::encodeName(env.root() + QStringLiteral("/open")).constData(), 0777), 0);
    const std::pair<QString, QString> causes[] = {
        {QString(), HelperError::rigctldNotFound().description()},
        {theirs, HelperError::programChangeableByOthers("rigctld", theirs, {}).description().section(" (", 0, 0)},
    };
    struct Way {
        const char *name;
        std::function<std::shared_ptr<test::TaskOutcome>()> start;
        int lines; // the always-on start is retried once within the wait
    };
    const Way ways[] = {
        {"API", [&] { return test::track(startOverTheAPI(services, pairing)); }, 1},
        {"window", [&] { return test::track(startFromWindow(services, ServiceID::rigctld)); }, 1},
        {"always-on", [&] {
             RigctldConfig rig = config.rigctldConfig();
             rig.lifecycleMode = ServiceLifecycleMode::alwaysOn;
             config.setRigctldConfig(rig);
             orchestrator->startAlwaysOnServices();
             return test::track(env.clock().sleep(3s));
         }, 2},
    };
    for (const auto &[path, reason] : causes) {
        for (const Way &way : ways) {
            SCOPED_TRACE(way.name + (" " + reason).toStdString());
            RigctldConfig rig;
            rig.rigctldPath = path;
            config.setRigctldConfig(rig);
            const int before = linesContaining(reason);
            const auto outcome = way.start();
            ASSERT_TRUE(env.clock().runUntil([&] { return outcome->done; }, 60s));
            EXPECT_EQ(linesContaining(reason) - before, way.lines) << env.log().messages().join('\n').toStdString();
            orchestrator->stopService(ServiceID::rigctld);
        }
    }
}

// An always-on start and its restarts have no one to throw to either.
TEST_F(StartPathsTest, AnAlwaysOnStartThatThrowsShowsWhyUntilAStop)
{
    RigctldConfig rig;
    rig.lifecycleMode = ServiceLifecycleMode::alwaysOn;
    config.setRigctldConfig(rig);
    ManagedProcess &process = orchestrator->rigctldProcess();
    const QString error = HelperError::rigctldNotFound().description();
    orchestrator->startAlwaysOnServices();
    ASSERT_TRUE(env.clock().runUntil([&] { return process.startError() == error; }, 1s));
    ASSERT_TRUE(env.clock().runUntil([&] { return linesContaining(QStringLiteral("Restart attempt 1 of rigctld")) == 1; }, 5s));
    EXPECT_EQ(process.startError(), error);
    orchestrator->stopService(ServiceID::rigctld);
    EXPECT_EQ(process.startError(), std::nullopt);
}

TEST_F(StartPathsTest, AChildThatEndsDuringItsStartLeavesTheServiceInErrorWithoutThrowing)
{
    // Real time: the child's end has to be seen while its port is awaited.
    env.useSystemClock();
    RigctldConfig rig = rigctld(script(QStringLiteral("rigctld"), "printf 'one\\n\\ntwo\\nthree\\nno such device\\n'; exit 3"));
    rig.manageRadioPower = true;
    config.setRigctldConfig(rig);
    auto outcome = test::track(orchestrator->startService(ServiceID::rigctld));
    ASSERT_TRUE(test::processEventsUntil([&] { return outcome->done; }, 5s));
    // The caller replies with the record: its state and last error say what happened.
    EXPECT_EQ(outcome->error, std::nullopt);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::error);
    EXPECT_EQ(orchestrator->status(ServiceID::rigctld).error, "rigctld exited during its start: Process exited with code 3");
    // Why it ended is in what it wrote last, which the page shows under the error.
    EXPECT_TRUE(test::processEventsUntil(
        [&] { return orchestrator->rigctldProcess().endOutput() == QStringList{"two", "three", "no such device"}; }, 5s))
        << orchestrator->rigctldProcess().endOutput().join('|').toStdString();
    EXPECT_TRUE(env.commands().journal.contains("/usr/bin/pkill -9 -e -x -U " + QString::number(::getuid()) + " rigctld"));
    // The radio is not asked about its power when nothing is there to ask.
    EXPECT_FALSE(env.log().contains("power"));

    // A clean exit during the port wait is no success either, and leaves nothing starting.
    config.setDirewolfConfig(direwolf(script(QStringLiteral("direwolf"), "exit 0")));
    outcome = test::track(orchestrator->startService(ServiceID::direwolf));
    ASSERT_TRUE(test::processEventsUntil([&] { return outcome->done; }, 10s));
    EXPECT_EQ(outcome->error, std::nullopt);
    EXPECT_EQ(orchestrator->direwolfProcess().state(), ServiceRunState::error);
    EXPECT_EQ(orchestrator->direwolfProcess().lastError(), "Direwolf exited during its start");
    EXPECT_EQ(orchestrator->direwolfProcess().pid(), std::nullopt);

    // Its port taken by a listener that is not rigctld's: that listener answers, but the port
    // wait looks for the child's own, so rigctld ends during its start, never counted as up.
    // What it wrote last still stands under the error.
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost));
    rig.tcpPort = taken.serverPort();
    rig.manageRadioPower = false;
    rig.rigctldPath = script(QStringLiteral("rigctld-bind"), "printf 'Opened rig model 1\\nbinding failed: Network error 98: "
                                                            "Address already in use\\nmain: bind error\\n'; sleep 0.3; exit 1");
    config.setRigctldConfig(rig);
    outcome = test::track(orchestrator->startService(ServiceID::rigctld));
    ASSERT_TRUE(test::processEventsUntil([&] { return outcome->done; }, 5s));
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return orchestrator->rigctldProcess().state() == ServiceRunState::error; }, 5s));
    EXPECT_EQ(orchestrator->rigctldProcess().lastError(), "rigctld exited during its start: Process exited with code 1");
    EXPECT_TRUE(test::processEventsUntil(
        [&] { return orchestrator->rigctldProcess().endOutput().size() == 3; }, 5s));
    EXPECT_EQ(orchestrator->rigctldProcess().endOutput(),
              (QStringList{"Opened rig model 1", "binding failed: Network error 98: Address already in use",
                           "main: bind error"}));
}

// On a loaded machine one pkill run can take seconds, and it kills whatever rigctld is there when
// it looks. A stop cuts a start short in its sweep and the next start follows at once, many times
// over: the sweep of the cut-short start must never reach the child the next one launches.
TEST_F(StartPathsTest, AStartRightAfterAStopOutlivesTheSweepOfTheStartThatStopCutShort)
{
    RigctldConfig rig;
    rig.rigctldPath = listening(QStringLiteral("rigctld"));
    rig.tcpPort = test::freeTcpPort();
    config.setRigctldConfig(rig);
    ManagedProcess &process = orchestrator->rigctldProcess();
    int childrenSwept = 0;
    env.commands().respond("pkill", [&](const Command &) {
        if (test::signalChild(process.pid(), SIGKILL)) {
            ++childrenSwept;
        }
        return CommandResult::exited(1);
    });
    int pkillRuns = 0;
    int slowRun = -1;
    env.commands().takeTime(env.clock(), [&](const Command &) { return pkillRuns++ == slowRun ? 4000ms : 10ms; });

    // Virtual time runs on, but never past a launch under way: a child's start takes real time.
    const auto launching = [&process, this] {
        return process.state() == ServiceRunState::starting && (!process.pid() || !QFile::exists(ready));
    };
    const auto settle = [&](const std::function<bool()> &done) {
        const auto deadline = env.clock().now() + 30s;
        while (!done()) {
            if (launching()) {
                if (!test::processEventsUntil([&] { return !launching(); }, 10s)) {
                    return false;
                }
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - env.clock().now());
            if (left <= 0ms || !env.clock().runUntil([&] { return done() || launching(); }, left)) {
                return false;
            }
        }
        return true;
    };

    for (int cycle = 0; cycle < 24; ++cycle) {
        // Cut short in the sweep of its own children, or in the sweep of every rigctld.
        const int sweepsBefore = pkillRuns;
        const int cutShortIn = 1 + cycle % 2;
        slowRun = sweepsBefore + cutShortIn - 1;
        QFile::remove(ready);
        auto cutShort = start(ServiceID::rigctld);
        ASSERT_TRUE(settle([&] { return pkillRuns == sweepsBefore + cutShortIn; })) << cycle;
        orchestrator->stopService(ServiceID::rigctld);
        auto next = start(ServiceID::rigctld);
        ASSERT_TRUE(settle([&] { return cutShort->done && next->done; })) << cycle;
        ASSERT_EQ(childrenSwept, 0) << cycle;
        EXPECT_EQ(next->error, std::nullopt) << cycle;
        ASSERT_EQ(process.state(), ServiceRunState::running)
            << cycle << ": " << process.lastError().value_or("").toStdString() << "\n"
            << process.logLines().join('\n').toStdString();
        ASSERT_TRUE(process.pid() && test::isAlive(*process.pid())) << cycle;

        orchestrator->stopService(ServiceID::rigctld);
        ASSERT_TRUE(settle([&] { return process.state() == ServiceRunState::stopped; })) << cycle;
    }
}

TEST_F(StartPathsTest, AnotherProgramOnTheServicesPortFailsTheStartBeforeAnyLaunch)
{
    const RigctldConfig rig = rigctld(script(QStringLiteral("rigctld"), "exec sleep 600"));
    config.setRigctldConfig(rig);
    env.commands().respond("lsof", CommandResult::exited(0, "500\n"));
    env.commands().executables = {{500, "/usr/bin/python3.11"}};
    EXPECT_EQ(startAndWait(ServiceID::rigctld), std::nullopt);
    EXPECT_EQ(orchestrator->rigctldProcess().state(), ServiceRunState::error);
    EXPECT_EQ(orchestrator->rigctldProcess().lastError(),
              QString::fromUtf8("rigctld's port %1 is in use by another of your programs (python3.11, pid 500) "
                                "\u2014 stop it or choose another port")
                  .arg(rig.tcpPort));
    EXPECT_EQ(orchestrator->rigctldProcess().lastLaunchCommand(), std::nullopt);
    EXPECT_TRUE(env.commands().signalsSent.empty());
}

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
