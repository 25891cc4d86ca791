// The start paths' own checks and decisions, with stand-in programs and the test's clock. The
// real rigctld, Direwolf and a stand-in modem are driven in integration/exclusive.

#include "start_paths_fixture.h"

#include "base/helper_places.h"
#include "base/helper_error.h"
#include "core/service_addresses.h"
#include "platform/paths.h"
#include "platform/program_file.h"
#include "radio/direwolf_config_manager.h"

#include "support/child_processes.h"
#include "support/event_wait.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>

#include <csignal>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

using test::StartPathsTest;

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

} // namespace
} // namespace cordavelle
