#include "vara_installer_fixture.h"

#include "base/helper_places.h"
#include "core/managed_process.h"
#include "core/orphan_reaper.h"
#include "core/experimental_features.h"
#include "core/vara_start_path.h"
#include "install/helper_uninstaller.h"
#include "install/wine_prefix_manager.h"
#include "platform/tree_removal.h"
#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/fixed_prefix_tools.h"
#include "support/task_outcome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <string>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;
using Kind = VARAInstaller::State::Kind;

// A stand-in Wine. Given a setup program it writes the modem's files (or not), says hello, then
// lingers or exits with a set code; given the modem it runs on or exits with a set code. Every
// stand-in records its pid, which the stand-in wineserver -k ends.
const char *kWine = R"sh(#!/bin/sh
dir="$(dirname "$0")"
echo "wine $*" >> "$dir/calls"
echo $$ >> "$dir/pids"
case "$1" in
*etup.exe)
  # By the file's own name: the test's temporary folder has random letters, "FM" among them now and then.
  case "$(basename "$1")" in
  *FM*) d="$WINEPREFIX/drive_c/VARA FM"; exe=VARAFM.exe; files="VARAFMNarrow.dat VARAFMWide.dat"; conf=fm ;;
  *) d="$WINEPREFIX/drive_c/VARA"; exe=VARA.exe; files="Data.dat VARAHF500.dat VARAHF2300.dat VARAHF2750.dat"; conf=hf ;;
  esac
  . "$dir/setup-$conf.conf"
  mkdir -p "$d/OCX"
  if [ "$WRITE" = yes ]; then
    touch "$d/$exe"; for f in $files; do touch "$d/$f"; done; echo ocx > "$d/OCX/MSCOMM32.OCX"
  fi
  echo "setup says hello"
  if [ "$LINGER" = yes ]; then exec sleep 600; fi
  exit $CODE ;;
*)
  . "$dir/launch.conf"
  if [ "$RUN" = yes ]; then exec sleep 600; fi
  exit $LCODE ;;
esac
)sh";

// A pid of the list whose process has ended may be another test's process by now: only a process
// in this prefix is one of them.
const char *kWineserver = R"sh(#!/bin/sh
dir="$(dirname "$0")"
echo "wineserver $*" >> "$dir/calls"
if [ "$1" = -k ]; then
  for p in $(cat "$dir/pids" 2>/dev/null); do
    if tr '\0' '\n' < /proc/$p/environ 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then kill $p; fi
  done
fi
exit 0
)sh";

class VARAInstallFlowTest : public test::VARAInstallerFixture {
protected:
    VARAInstallFlowTest()
    {
        bin = QFileInfo(places::ownWineBinary()).path();
        QDir().mkpath(bin);
        writeFile(places::ownWineBinary(), kWine, true);
        writeFile(places::ownWineserver(), kWineserver, true);
        // The runtime the prefix's set-up installs, which an install looks for.
        const QString system32 = places::winePrefix() + "/drive_c/windows/system32/";
        QDir().mkpath(system32);
        writeFile(system32 + "msvbvm60.dll", "x");
        writeFile(system32 + "pdh.dll", "x");
        setup(VARAVariant::hf, "WRITE=yes LINGER=yes CODE=0");
        setup(VARAVariant::fm, "WRITE=yes LINGER=no CODE=0");
        launch("RUN=yes LCODE=0");
        serveArchive("HF", "/VARA%20Products/VARA%20HF%204.8.7%20setup.zip");
        serveArchive("FM", "/VARA%20Products/VARA%20FM%20setup.zip");
        server.serve("/VARA%20Products/", R"(<a href="VARA%20HF%204.8.7%20setup.zip">hf</a>
            <a href="VARA%20FM%20setup.zip">fm</a>)");
    }

    ~VARAInstallFlowTest() override
    {
        // An installer ends its flow and the flow's own programs as it goes.
        installers.clear();
        // The number of a stand-in that has ended may be another test's process by now.
        const QByteArray prefix = "WINEPREFIX=" + QFile::encodeName(places::winePrefix());
        for (const QByteArray &pid : readFile(bin + "/pids").split('\n')) {
            if (test::signalProcessWith(pid.toLongLong(), prefix, SIGKILL)) {
                ADD_FAILURE() << "stand-in " << pid.constData() << " still runs";
            }
        }
    }

    // Whether `pid` is a process in this test's prefix: the number of one that has ended may be
    // another test's process by now.
    static bool runsInThePrefix(const QByteArray &pid)
    {
        const QByteArray wanted = "WINEPREFIX=" + QFile::encodeName(places::winePrefix());
        return readFile("/proc/" + QString::fromLatin1(pid) + "/environ").split('\0').contains(wanted);
    }

    static void writeFile(const QString &path, const QByteArray &text, bool executable = false)
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        if (executable) {
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
    }
    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void setup(VARAVariant variant, const QByteArray &line)
    {
        writeFile(bin + (variant == VARAVariant::hf ? "/setup-hf.conf" : "/setup-fm.conf"), line + "\n");
    }
    void launch(const QByteArray &line) { writeFile(bin + "/launch.conf", line + "\n"); }

    // A zip holding the setup program, made with the real zip tool.
    void serveArchive(const QString &tag, const QString &path)
    {
        QDir work(env.root() + "/zip-" + tag);
        work.mkpath(".");
        writeFile(work.filePath("VARA " + tag + " setup.exe"), "MZ");
        QProcess zip;
        zip.setWorkingDirectory(work.path());
        zip.start("zip", {"-q", "archive.zip", "VARA " + tag + " setup.exe"});
        EXPECT_TRUE(test::awaitEnd(zip) && zip.exitCode() == 0) << "zip failed";
        server.serve(path, readFile(work.filePath("archive.zip")));
    }

    VARAInstaller &make(VARAVariant variant)
    {
        installers.push_back(std::make_unique<VARAInstaller>(variant, collaborators()));
        return *installers.back();
    }

    // Real time for the stand-ins and transfers, the manual clock standing still meanwhile: each
    // wait ends on what it waits for, and its limit only bounds a flow that never gets there. A
    // wait that runs out names the line that waited (by __builtin_LINE: Debian's clang has no
    // std::source_location) and says what the flows and stand-ins did.
    void waitFor(const std::function<bool()> &done, int line = __builtin_LINE())
    {
        if (test::processEventsUntil(done, 20s)) {
            return;
        }
        // Appended piece by piece: g++ 12 at -O3 warns (-Wrestrict) on a literal added
        // to a temporary std::string.
        std::string told = "the wait at line ";
        told += std::to_string(line);
        told += " ran out\nstand-ins:\n";
        told += calls().toStdString();
        for (const auto &installer : installers) {
            told += '\n';
            told += installer->logLines().join('\n').toStdString();
        }
        FAIL() << told;
    }
    void waitUntilEnded(const VARAInstaller &installer, int line = __builtin_LINE())
    {
        waitFor([&] { return !installer.isInstalling(); }, line);
    }
    static bool logged(const VARAInstaller &installer, const QString &text)
    {
        for (const QString &line : installer.logLines()) {
            if (line == text || line.contains("] " + text)) {
                return true;
            }
        }
        return false;
    }
    void waitForLine(const VARAInstaller &installer, const QString &text,
                     int line = __builtin_LINE())
    {
        waitFor([&] { return logged(installer, text); }, line);
    }
    QString calls() const { return QString::fromUtf8(readFile(bin + "/calls")); }

    // Takes a lingering HF setup past the file watcher's first look and its grace, up to the
    // running trial launch.
    void passLingeringSetup(VARAInstaller &hf)
    {
        waitForLine(hf, "setup says hello");
        env.clock().advance(4s);
        EXPECT_FALSE(logged(hf, "Data file present: Data.dat"));
        env.clock().advance(1s);
        EXPECT_TRUE(logged(hf, "Data file present: VARAHF2750.dat"));
        env.clock().advance(15s);
        EXPECT_TRUE(logged(hf, "All critical files present — killing lingering installer process"));
    }

    std::vector<std::unique_ptr<VARAInstaller>> installers;
    QString bin;
};

TEST_F(VARAInstallFlowTest, ALingeringSetupIsEndedAfterItsGraceAndARunningModemPasses)
{
    VARAInstaller &hf = make(VARAVariant::hf);
    ASSERT_TRUE(hf.startInstall());
    EXPECT_FALSE(hf.startInstall());
    passLingeringSetup(hf);
    waitForLine(hf, QString("VARA HF started (PID: "));
    EXPECT_EQ(hf.state().kind, Kind::verifying);
    env.clock().advance(15s);
    waitUntilEnded(hf);

    EXPECT_EQ(hf.state().kind, Kind::complete) << hf.state().error.toStdString();
    EXPECT_EQ(config.varaConfig().varaPath, hf.exePath());
    EXPECT_EQ(config.varaConfig().installedVersion, "4.8.7");
    EXPECT_EQ(config.varaConfig().winePath, places::ownWineBinary());
    for (const char *line : {"Found: VARA HF 4.8.7 setup.zip (v4.8.7)", "Copied 1 OCX files to VARA HF directory",
                             "VARA HF is running — verification passed", "VARA HF installation complete!"}) {
        EXPECT_TRUE(logged(hf, line)) << line;
    }
    EXPECT_TRUE(QFileInfo::exists(hf.installDir() + "/MSCOMM32.OCX"));
    EXPECT_FALSE(QFileInfo::exists(hf.downloadFolder() + "/VARA HF 4.8.7 setup.zip"));
    // Once for the lingering setup, once for the trial launch.
    EXPECT_EQ(calls().count("wineserver -k"), 2);
    EXPECT_EQ(calls().count("wineserver -w"), 2);
}

TEST_F(VARAInstallFlowTest, BothModemsShareThePrefixOneAfterTheOtherAndACancelSparesTheOther)
{
    VARAInstaller &hf = make(VARAVariant::hf);
    VARAInstaller &fm = make(VARAVariant::fm);
    launch("RUN=no LCODE=0");
    for (bool cancelFM : {false, true}) {
        SCOPED_TRACE(cancelFM ? "FM cancelled" : "both install");
        ASSERT_TRUE(hf.startInstall());
        waitForLine(hf, "setup says hello");
        ASSERT_TRUE(fm.startInstall());
        // FM's download goes on meanwhile; its Wine phase waits.
        waitForLine(fm, "Waiting for the VARA HF install to finish with the Wine prefix...");
        EXPECT_EQ(fm.state().kind, Kind::extracting);
        if (cancelFM) {
            fm.cancel();
            EXPECT_FALSE(fm.startInstall());
            waitUntilEnded(fm);
            EXPECT_EQ(fm.state().kind, Kind::idle);
            EXPECT_TRUE(logged(fm, "VARA FM installation cancelled by user"));
            EXPECT_TRUE(logged(fm, "VARA FM installation cancelled"));
        }
        passLingeringSetup(hf);
        waitUntilEnded(hf);
        waitUntilEnded(fm);
        EXPECT_EQ(hf.state().kind, Kind::complete) << hf.state().error.toStdString();
        EXPECT_EQ(fm.state().kind, cancelFM ? Kind::idle : Kind::complete) << fm.state().error.toStdString();
        EXPECT_TRUE(logged(hf, "VARA HF exited cleanly (code 0)"));
        EXPECT_TRUE(logged(hf, cancelFM ? "Copied 0 OCX files to VARA HF directory"
                                        : "Copied 1 OCX files to VARA HF directory"));
    }
    EXPECT_EQ(config.varaFMConfig().varaPath, fm.exePath());
    EXPECT_EQ(config.varaFMConfig().installedVersion, "Unknown");
}

TEST_F(VARAInstallFlowTest, ACancelEndsOnlyTheOwnSetupWhileAModemRunsAndThePrefixOtherwise)
{
    VARAInstaller &hf = make(VARAVariant::hf);
    const auto setupPid = [this] { return readFile(bin + "/pids").split('\n').value(0).toInt(); };

    services.states[ServiceID::varaFM] = ServiceRunState::running;
    ASSERT_TRUE(hf.startInstall());
    waitForLine(hf, "setup says hello");
    hf.cancel();
    EXPECT_EQ(hf.state().kind, Kind::installing);
    waitUntilEnded(hf);
    EXPECT_EQ(hf.state().kind, Kind::idle);
    EXPECT_FALSE(runsInThePrefix(QByteArray::number(setupPid())));
    EXPECT_FALSE(calls().contains("wineserver"));

    // During the trial launch, with no modem running: the whole prefix.
    services.states[ServiceID::varaFM] = ServiceRunState::stopped;
    setup(VARAVariant::hf, "WRITE=yes LINGER=no CODE=0");
    ASSERT_TRUE(hf.startInstall());
    waitForLine(hf, QString("VARA HF started (PID: "));
    hf.cancel();
    waitUntilEnded(hf);
    EXPECT_EQ(hf.state().kind, Kind::idle);
    EXPECT_EQ(calls().count("wineserver -k"), 1);
}

TEST_F(VARAInstallFlowTest, TheSetupIsJudgedByTheFilesItLeaves)
{
    VARAInstaller &hf = make(VARAVariant::hf);
    // Never writes the modem and never ends: the time limit.
    setup(VARAVariant::hf, "WRITE=no LINGER=yes CODE=0");
    ASSERT_TRUE(hf.startInstall());
    waitForLine(hf, "setup says hello");
    env.clock().advance(299s);
    EXPECT_EQ(hf.state().kind, Kind::installing);
    env.clock().advance(1s);
    waitUntilEnded(hf);
    EXPECT_EQ(hf.state(), VARAInstaller::State::failed("VARA installer timed out after 5 minutes"));
    EXPECT_TRUE(logged(hf, "TIMEOUT: installer exceeded 5 minutes — killing process"));
    EXPECT_TRUE(calls().contains("wineserver -k"));

    // Exits at once without the files.
    setup(VARAVariant::hf, "WRITE=no LINGER=no CODE=1");
    ASSERT_TRUE(hf.startInstall());
    waitUntilEnded(hf);
    EXPECT_EQ(hf.state(), VARAInstaller::State::failed("VARA installer exited with code 1"));
    EXPECT_TRUE(
        logged(hf, "ERROR: install left missing files: VARA.exe, Data.dat, VARAHF500.dat, VARAHF2300.dat, VARAHF2750.dat"));

    // Every file and a non-zero exit is a success; the trial launch then exits with 3.
    setup(VARAVariant::hf, "WRITE=yes LINGER=no CODE=1");
    launch("RUN=no LCODE=3");
    ASSERT_TRUE(hf.startInstall());
    waitUntilEnded(hf);
    EXPECT_TRUE(logged(hf, "Installer completed"));
    EXPECT_EQ(hf.state().kind, Kind::error);
    EXPECT_TRUE(hf.state().error.startsWith(
        "VARA installed successfully, but the first-launch verification failed with exit code 3."));
    EXPECT_EQ(config.varaConfig().varaPath, "");
}

// What the orchestrator runs to start VARA FM, on the same prefix and wine server as the install.
TEST_F(VARAInstallFlowTest, AModemStartLeavesTheWineServerToAnInstallAndWaitsForIt)
{
    ManagedProcess modem(ServiceID::varaFM, env.clock());
    const OrphanReaper reaper(env.platform().commandRunner(), env.clock());
    VARAStartPath start(VARAVariant::fm, config, env.clock(), modem, reaper, env.platform().wineDrivers(), prefixHold);
    VARAFMConfig fm;
    fm.winePath = places::ownWineBinary();
    fm.varaPath = QStringLiteral("C:\\VARA FM\\VARAFM.exe");
    config.setVaraFMConfig(fm);
    const QString exe = places::winePrefix() + "/drive_c/VARA FM/VARAFM.exe";
    ASSERT_TRUE(QDir().mkpath(QFileInfo(exe).path()));
    writeFile(exe, "MZ");
    launch("RUN=no LCODE=0");
    // Writes nothing and never ends: the install keeps the prefix until its time limit.
    setup(VARAVariant::hf, "WRITE=no LINGER=yes CODE=0");
    VARAInstaller &hf = make(VARAVariant::hf);
    ASSERT_TRUE(hf.startInstall());
    waitForLine(hf, "setup says hello");

    auto outcome = test::track(start.start({}));
    env.clock().advance(VARAStartPath::kPrefixWait - 1s);
    EXPECT_FALSE(outcome->done);
    env.clock().advance(1s);
    waitFor([&] { return outcome->done; });
    EXPECT_EQ(outcome->error, std::nullopt);
    EXPECT_EQ(modem.state(), ServiceRunState::error);
    EXPECT_EQ(modem.lastError(), "The Wine prefix is in use by the VARA HF install; start VARA FM again once it has finished.");
    EXPECT_EQ(hf.state().kind, Kind::installing);
    EXPECT_FALSE(calls().contains("wineserver")) << calls().toStdString();

    // Once the install has given the prefix up, the waiting start ends the wine server and launches.
    std::stop_source stop;
    outcome = test::track(start.start(stop.get_token()));
    hf.cancel();
    waitFor([&] { return calls().contains("wine " + exe); });
    stop.request_stop();
    waitFor([&] { return outcome->done && !modem.pid(); });
    const QStringList lines = calls().split('\n');
    const qsizetype launched = lines.indexOf("wine " + exe);
    ASSERT_GT(launched, 1);
    EXPECT_EQ(lines[launched - 1], "wineserver -k");
    EXPECT_TRUE(lines.mid(0, launched - 1).contains("wineserver -k")) << "the install's own, on its cancel";
}

TEST_F(VARAInstallFlowTest, ThePrefixSetUpAndRemovalWaitForAnInstallsWinePhase)
{
    const QString prefix = places::winePrefix();
    const QString system32 = prefix + "/drive_c/windows/system32/";
    writeFile(bin + "/cabextract", "#!/bin/sh\n", true);
    test::FixedPrefixTools prefixTools;
    prefixTools.wine = places::ownWineBinary();
    prefixTools.cabextract = bin + "/cabextract";
    WinePrefixManager manager(
        {config, installLog, services, prefixHold, env.clock(), env.platform().toolLocator(), prefix, prefixTools});
    launch("RUN=no LCODE=0");
    setup(VARAVariant::hf, "WRITE=no LINGER=yes CODE=0");
    VARAInstaller &hf = make(VARAVariant::hf);
    const QString waiting = "Waiting for the VARA HF install to finish with the Wine prefix...";

    ASSERT_TRUE(hf.startInstall());
    waitForLine(hf, "setup says hello");
    manager.startFullSetup();
    EXPECT_EQ(manager.state(), WinePrefixManager::State::initializing(waiting));
    EXPECT_TRUE(manager.logLines().last().endsWith(waiting));
    hf.cancel();
    waitFor([&] { return !manager.isBusy(); });
    EXPECT_EQ(manager.state(), WinePrefixManager::State::ready()) << manager.logLines().join('\n').toStdString();
    // The install's cancel ended its setup through the wine server before the set-up ran Wine.
    const QString afterInstall = calls().section("wineserver -k", 1);
    EXPECT_EQ(afterInstall.count("wine reg add"), 3) << calls().toStdString();

    // The row's Cancel ends a removal that waits, and the prefix stays.
    ASSERT_TRUE(hf.startInstall());
    waitForLine(hf, "setup says hello");
    auto cancelled = test::track(manager.deletePrefix());
    waitFor([&] { return manager.logLines().last().endsWith(waiting); });
    manager.cancel();
    waitFor([&] { return cancelled->done; });
    EXPECT_TRUE(manager.logLines().last().endsWith("Wine prefix removal cancelled"));
    EXPECT_EQ(manager.state(), WinePrefixManager::State::idle());
    hf.cancel();
    waitUntilEnded(hf);
    EXPECT_TRUE(QFileInfo::exists(system32));

    ASSERT_TRUE(hf.startInstall());
    waitForLine(hf, "setup says hello");
    auto removal = test::track(manager.deletePrefix());
    waitFor([&] { return manager.logLines().last().endsWith(waiting); });
    EXPECT_TRUE(QFileInfo::exists(system32));
    hf.cancel();
    waitFor([&] { return removal->done; });
    EXPECT_FALSE(QFileInfo::exists(prefix));
    EXPECT_TRUE(manager.logLines().last().endsWith("Wine prefix deleted"));
    EXPECT_EQ(manager.state(), WinePrefixManager::State::idle());
}

TEST_F(VARAInstallFlowTest, UninstallIsRefusedWhileTheModemsInstallRuns)
{
    VARAInstaller &hf = make(VARAVariant::hf);
    ASSERT_TRUE(hf.startInstall());
    waitForLine(hf, "setup says hello");
    ASSERT_TRUE(QFileInfo::exists(hf.exePath()));
    EXPECT_FALSE(test::runToEnd(hf.uninstall()));
    EXPECT_TRUE(logged(hf, "ERROR: VARA HF can't be uninstalled while it is being installed."));
    EXPECT_TRUE(QFileInfo::exists(hf.exePath()));
    passLingeringSetup(hf);
    waitForLine(hf, QString("VARA HF started (PID: "));
    env.clock().advance(15s);
    waitUntilEnded(hf);
    EXPECT_EQ(hf.state().kind, Kind::complete) << hf.state().error.toStdString();
    EXPECT_EQ(config.varaConfig().varaPath, hf.exePath());
}

// Each removal as it stands once it has set its tree aside and walks it, and what is asked of the
// tree meanwhile: a start, an install and the same removal again.
TEST_F(VARAInstallFlowTest, WhatIsBeingRemovedIsHeldUntilItIsGone)
{
    const QString prefix = places::winePrefix();
    test::FixedPrefixTools prefixTools;
    prefixTools.wine = places::ownWineBinary();
    WinePrefixManager manager(
        {config, installLog, services, prefixHold, env.clock(), env.platform().toolLocator(), prefix, prefixTools});
    VARAInstaller &hf = make(VARAVariant::hf);
    ManagedProcess modem(ServiceID::varaHF, env.clock());
    const OrphanReaper reaper(env.platform().commandRunner(), env.clock());
    VARAStartPath start(VARAVariant::hf, config, env.clock(), modem, reaper, env.platform().wineDrivers(), prefixHold);
    launch("RUN=no LCODE=0");
    struct Row {
        const char *removal;
        // Begins it; what it returns tells when it has ended.
        std::function<std::function<bool()>()> begin;
        QString removed;
        // What the installer's log says of the same removal asked again; empty where nothing is.
        QString again;
    };
    const auto ended = [](auto outcome) { return std::function<bool()>([outcome] { return outcome->done; }); };
    const Row rows[] = {
        {"Delete Wine Prefix", [&] { return ended(test::track(manager.deletePrefix())); }, "The Wine prefix", ""},
        {"Uninstall VARA HF", [&] { return ended(test::track(hf.uninstall())); }, "VARA HF",
         "ERROR: VARA HF is being removed."},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.removal);
        ASSERT_TRUE(QDir().mkpath(QFileInfo(hf.exePath()).path()));
        writeFile(hf.exePath(), "MZ");
        VARAConfig record = config.varaConfig();
        record.winePath = places::ownWineBinary();
        record.varaPath = QStringLiteral("C:\\VARA\\VARA.exe");
        record.installedVersion = QStringLiteral("4.8.7");
        config.setVaraConfig(record);

        const std::function<bool()> done = row.begin();
        ASSERT_FALSE(done());
        EXPECT_EQ(prefixHold.removal(), row.removed);
        // The record went as the files were set aside: a quit now leaves none naming them.
        EXPECT_EQ(config.varaConfig().varaPath, "");
        EXPECT_EQ(config.varaConfig().installedVersion, "");
        const QString refusal = row.removed + " is being removed.";

        auto started = test::track(start.start({}));
        EXPECT_TRUE(started->done);
        EXPECT_EQ(modem.lastError(), refusal);
        EXPECT_FALSE(hf.startInstall());
        EXPECT_TRUE(logged(hf, "ERROR: " + refusal));
        const qsizetype linesBefore = hf.logLines().size();
        const auto again = row.begin();
        EXPECT_TRUE(again());
        if (!row.again.isEmpty()) {
            ASSERT_EQ(hf.logLines().size(), linesBefore + 1);
            EXPECT_TRUE(hf.logLines().last().endsWith(row.again)) << hf.logLines().last().toStdString();
            EXPECT_EQ(hf.state().kind, Kind::removing);
        }

        waitFor(done);
        EXPECT_FALSE(prefixHold.holder());
        EXPECT_FALSE(QFileInfo::exists(hf.exePath()));
        EXPECT_FALSE(QFileInfo::exists(removalAside(QFileInfo(hf.exePath()).path())));
        EXPECT_FALSE(calls().contains("VARA.exe")) << calls().toStdString();
    }
    EXPECT_EQ(manager.logLines().filter("Wine prefix deleted").size(), 1);
}

TEST_F(VARAInstallFlowTest, APrefixResetEndsAnInstallStillDownloadingAndAnInstallNeedsAReadyPrefix)
{
    test::FixtureHttpServer::Route stalling;
    stalling.body = QByteArray(100000, 'z');
    stalling.stallAfter = 1000;
    server.serve("/VARA%20Products/VARA%20HF%204.8.7%20setup.zip", stalling);
    VARAInstaller &hf = make(VARAVariant::hf);
    ExperimentalFeatureManager experimental(env.defaults());
    Platform &platform = env.platform();
    HelperUninstaller uninstaller({config, experimental, services, env.defaults(), platform.keychain(),
                                   platform.loginItem(), platform.commandRunner(), {}, prefixHold, env.clock(),
                                   {HelperUninstaller::installer(hf)}});

    ASSERT_TRUE(hf.startInstall());
    waitFor([&] { return server.stalledCount() == 1; });
    auto reset = test::track(uninstaller.resetWinePrefix());
    waitFor([&] { return reset->done; });
    ASSERT_EQ(reset->error, std::nullopt);
    EXPECT_EQ(hf.state().kind, Kind::idle);
    EXPECT_FALSE(hf.isInstalling());
    EXPECT_FALSE(QFileInfo::exists(places::winePrefix()));
    EXPECT_FALSE(prefixHold.holder());

    // Without the set-up's runtime the install stops before running Wine.
    serveArchive("HF", "/VARA%20Products/VARA%20HF%204.8.7%20setup.zip");
    ASSERT_TRUE(hf.startInstall());
    waitUntilEnded(hf);
    EXPECT_EQ(hf.state(), VARAInstaller::State::failed(
                              "The Wine prefix is missing or not set up. Set it up again, then retry the install."));
    EXPECT_FALSE(QFileInfo::exists(hf.exePath()));
    EXPECT_EQ(config.varaConfig().varaPath, "");
}

} // namespace
} // namespace cordavelle
