#include "base/helper_places.h"
#include "base/json_support.h"
#include "core/config_store.h"
#include "core/wine_prefix_hold.h"
#include "install/helper_uninstaller.h"
#include "install/install_log.h"
#include "install/wine_installer.h"
#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/fixture_http_server.h"
#include "support/qt_printers.h"
#include "support/full_reset.h"
#include "support/manual_clock.h"
#include "support/remote_failure_table.h"
#include "support/recording_service_control.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;
using WineKind = WineInstaller::State::Kind;

QByteArray runForOutput(const QString &program, const QStringList &arguments, const QString &input = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    process.write(input.toUtf8());
    process.closeWriteChannel();
    test::awaitEnd(process);
    return process.readAll();
}

// Archives built once with the real tar, xz and compiler; only their bytes outlive the making.
struct Fixtures {
    QByteArray wineArchive;
    QByteArray archiveWithoutWine;
    QByteArray wineThatCannotRun;
    QByteArray cabextractBottle;

    Fixtures()
    {
        const QTemporaryDir dir;
        const QString root = dir.path();
        const QString top = root + "/wine-10.0-amd64-wow64";
        test::writeProgram(top + "/bin/wine", "#!/bin/sh\necho wine-10.0\n");
        test::writeProgram(top + "/bin/wineserver", "#!/bin/sh\nexit 0\n");
        test::writeFile(top + "/lib/wine/x86_64-unix/ntdll.so", "library");
        runForOutput("tar", {"-cJf", root + "/wine.tar.xz", "-C", root, "wine-10.0-amd64-wow64"});
        wineArchive = test::readBytes(root + "/wine.tar.xz");

        const QString broken = root + "/broken/wine-10.0-amd64-wow64";
        test::writeProgram(broken + "/bin/wine",
                           "#!/bin/sh\necho 'wine: error while loading shared libraries: libgnutls.so.30' >&2\nexit 127\n");
        test::writeProgram(broken + "/bin/wineserver", "#!/bin/sh\nexit 0\n");
        runForOutput("tar", {"-cJf", root + "/broken.tar.xz", "-C", root + "/broken", "wine-10.0-amd64-wow64"});
        wineThatCannotRun = test::readBytes(root + "/broken.tar.xz");

        test::writeFile(root + "/wine-9.0-amd64/share/readme", "no programs");
        runForOutput("tar", {"-cJf", root + "/empty.tar.xz", "-C", root, "wine-9.0-amd64"});
        archiveWithoutWine = test::readBytes(root + "/empty.tar.xz");

        // A bottle's program names Homebrew's loader and library folder, as Linux bottles do.
        const QString program = root + "/bottle/cabextract/1.11/bin/cabextract";
        QDir().mkpath(root + "/bottle/cabextract/1.11/bin");
        runForOutput("g++", {"-x", "c++", "-o", program, "-"}, "#include <cstdio>\nint main() { std::puts(\"cabextract version 1.11\"); }\n");
        runForOutput("patchelf", {"--set-interpreter", "/home/linuxbrew/.linuxbrew/lib/ld.so", "--set-rpath",
                         "@@HOMEBREW_PREFIX@@/lib", program});
        runForOutput("tar", {"-czf", root + "/bottle.tar.gz", "-C", root + "/bottle", "cabextract"});
        cabextractBottle = test::readBytes(root + "/bottle.tar.gz");
    }
};

const Fixtures &fixtures()
{
    static const Fixtures *made = new Fixtures();
    return *made;
}

class WineInstallerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        env.platform().setCommandRunner(std::make_shared<LinuxCommandRunner>());
        for (const char *tool : {"/usr/bin/tar", "/usr/bin/patchelf"}) {
            QDir().mkpath(env.root() + "/usr/bin");
            QFile::link(tool, env.hostPath(tool));
        }
        env.platform().setRemoteServices(RemoteServices::allAt(server.base()));
        serveRemote();

        config = std::make_unique<ConfigStore>(env.defaults(), env.platform());
        installLog = std::make_unique<InstallLog>(env.clock(), env.log(), places::supportFolder());
        installer = std::make_unique<WineInstaller>(*config, *installLog, env.platform(), services, prefixHold);
        QObject::connect(installer.get(), &WineInstaller::stateChanged, [this] { states.push_back(installer->state()); });
    }

    void serveRemote()
    {
        serveReleases();
        serveArchive(fixtures().wineArchive);
        server.serve("/Winetricks/winetricks/master/src/winetricks", "#!/bin/sh\necho winetricks\n");
        server.serve("/api/formula/cabextract.json",
                     test::bottleFormula("1.11", server.url("/v2/homebrew/core/cabextract/blobs/sha256:1").toString(),
                                         fixtures().cabextractBottle));
        server.redirect("/v2/homebrew/core/cabextract/blobs/sha256:1", "/blobs/cabextract.tar.gz", 307);
        server.serve("/blobs/cabextract.tar.gz", fixtures().cabextractBottle);
    }

    void serveReleases()
    {
        const QString dev = server.url("/dl/wine-10.1-amd64.tar.xz").toString();
        const QString plain = server.url("/dl/wine-10.0-amd64.tar.xz").toString();
        const QString wow64 = server.url("/dl/wine-10.0-amd64-wow64.tar.xz").toString();
        server.serve("/repos/Kron4ek/Wine-Builds/releases",
                     QStringLiteral(R"([{"tag_name":"10.1","assets":[{"name":"wine-10.1-amd64.tar.xz","browser_download_url":"%1"}]},
                                       {"tag_name":"10.0","assets":[{"name":"wine-10.0-amd64.tar.xz","browser_download_url":"%2"},
                                        {"name":"wine-10.0-amd64-wow64.tar.xz","browser_download_url":"%3"}]}])")
                         .arg(dev, plain, wow64)
                         .toUtf8());
    }

    void serveArchive(QByteArray body, qint64 stallAfter = -1, bool sendLength = true)
    {
        test::FixtureHttpServer::Route route;
        route.body = std::move(body);
        route.stallAfter = stallAfter;
        route.sendLength = sendLength;
        server.serve("/dl/wine-10.0-amd64-wow64.tar.xz", route);
    }

    bool installToEnd()
    {
        installer->startInstall();
        return test::processEventsUntil([this] { return !installer->isBusy(); }, 30s);
    }

    // The log lines without their "[HH:mm:ss] " stamps.
    QStringList messages() const
    {
        QStringList out;
        for (const QString &line : installer->logLines()) {
            out << (line.startsWith('[') && line.size() > 11 && line[9] == ']' ? line.mid(11) : line);
        }
        return out;
    }

    void makePreviousInstall()
    {
        ASSERT_TRUE(test::writeProgram(places::ownWineBinary(), "#!/bin/sh\necho previous\n"));
    }

    // The bytes of the files in the private temporary folder, downloads under way included.
    qint64 temporaryBytes()
    {
        qint64 total = 0;
        for (const QFileInfo &file : QDir(env.platform().paths().privateTemporary()).entryInfoList(QDir::Files | QDir::Hidden)) {
            total += file.size();
        }
        return total;
    }

    QStringList temporaryFiles()
    {
        return QDir(env.platform().paths().privateTemporary())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    }

    void expectPreviousInstallIntact()
    {
        EXPECT_EQ(test::readBytes(places::ownWineBinary()), QByteArray("#!/bin/sh\necho previous\n"));
        EXPECT_FALSE(QFileInfo::exists(places::wineFolder() + ".partial"));
    }

    test::TestPlatform env;
    test::FixtureHttpServer server;
    test::RecordingServiceControl services;
    WinePrefixHold prefixHold;
    std::unique_ptr<ConfigStore> config;
    std::unique_ptr<InstallLog> installLog;
    std::unique_ptr<WineInstaller> installer;
    std::vector<WineInstaller::State> states;
};

TEST_F(WineInstallerTest, InstallsTheStableBuildWithItsToolsAndRecordsIt)
{
    // A session umask that leaves new files writable by the user's group.
    const test::ScopedUmask groupWritable(002);
    VARAConfig hf = config->varaConfig();
    hf.winePath = "/opt/custom/wine";
    config->setVaraConfig(hf);
    // What an earlier run left where the cabextract bottle is unpacked is not what gets installed.
    ASSERT_TRUE(test::writeProgram(env.platform().paths().privateTemporary() + "/cabextract-extract/a/cabextract"));

    ASSERT_TRUE(installToEnd());
    ASSERT_EQ(installer->state(), WineInstaller::State::complete()) << installer->state().message().toStdString();
    EXPECT_EQ(messages(), (QStringList{"Downloading Wine stable...", "Found: wine-10.0-amd64-wow64.tar.xz",
                                       "Download complete (v10.0)", "Extracting Wine (this may take a minute)...",
                                       "Wine extracted", "Downloading winetricks...", "winetricks installed",
                                       "Installing cabextract...", "cabextract installed", "Wine v10.0 installation complete!"}));
    // idle → downloading (fractions up to the whole) → extracting → complete.
    ASSERT_GE(states.size(), 4u);
    EXPECT_EQ(states.front(), WineInstaller::State::downloading(0.0));
    EXPECT_EQ(states[states.size() - 3], WineInstaller::State::downloading(1.0));
    EXPECT_EQ(states[states.size() - 2].kind(), WineKind::extracting);

    EXPECT_EQ(runForOutput(places::ownWineBinary(), {}), QByteArray("wine-10.0\n"));
    EXPECT_TRUE(QFileInfo(places::ownWineserver()).isExecutable());
    EXPECT_EQ(runForOutput(places::ownCabextract(), {"--version"}), QByteArray("cabextract version 1.11\n"));
    EXPECT_TRUE(installer->isWinetricksInstalled());
    EXPECT_EQ(config->varaConfig().winePath, "/opt/custom/wine");
    EXPECT_EQ(config->varaFMConfig().winePath, places::ownWineBinary());
    EXPECT_EQ(installer->installedVersion(), "10.0");
    // Nothing of it may be changed by others, or the launch check would refuse it.
    for (const QString &installed : {places::wineFolder(), places::toolsFolder(), places::ownWinetricks()}) {
        EXPECT_EQ(test::othersMayWriteIn(installed), QStringList());
    }
    EXPECT_FALSE(QFileInfo::exists(places::wineFolder() + ".partial"));
    EXPECT_FALSE(QFileInfo::exists(env.platform().paths().privateTemporary() + "/wine-stable.tar.xz"));
    installLog->flush();
    const QByteArray setupLog = test::readBytes(places::supportFolder() + "/setup.log");
    EXPECT_TRUE(setupLog.contains("] Wine v10.0 installation complete!\n"));

    // Again, with only a winetricks of the machine and the helper's cabextract in place: both are
    // kept, and the Wine folder is replaced as a whole.
    ASSERT_TRUE(test::writeFile(places::wineFolder() + "/stale", "old"));
    ASSERT_TRUE(QFile::remove(places::ownWinetricks()));
    ASSERT_TRUE(test::writeProgram(env.hostPath("/usr/local/bin/winetricks")));
    const auto formulaRequests = server.requestsFor("/api/formula/cabextract.json").size();
    ASSERT_TRUE(installToEnd());
    EXPECT_EQ(installer->state(), WineInstaller::State::complete());
    EXPECT_TRUE(messages().contains("Found existing winetricks at " + env.hostPath("/usr/local/bin/winetricks")
                                    + " — skipping download"));
    EXPECT_EQ(server.requestsFor("/api/formula/cabextract.json").size(), formulaRequests);
    EXPECT_FALSE(QFileInfo::exists(places::wineFolder() + "/stale"));

    // The machine's own cabextract is used as it is, though the helper has none.
    ASSERT_TRUE(QFile::remove(places::ownCabextract()));
    ASSERT_TRUE(test::writeProgram(env.hostPath("/usr/bin/cabextract")));
    ASSERT_TRUE(installToEnd());
    EXPECT_EQ(installer->state(), WineInstaller::State::complete());
    EXPECT_TRUE(messages().contains("Found existing cabextract at " + env.hostPath("/usr/bin/cabextract") +
                                    " — skipping download"));
    EXPECT_EQ(server.requestsFor("/api/formula/cabextract.json").size(), formulaRequests);
    EXPECT_FALSE(QFileInfo::exists(places::ownCabextract()));
}

TEST_F(WineInstallerTest, ACancelledDownloadEndsOnceWithNothingLeftAndNoSecondFlow)
{
    makePreviousInstall();
    // No length: the state stays at 0.0 however many bytes come.
    serveArchive(fixtures().wineArchive, 100, false);
    installer->startInstall();
    ASSERT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 1; }));
    // On the disk, the bytes before the stall have been reported.
    ASSERT_TRUE(test::processEventsUntil([&] { return temporaryBytes() == 100; }));
    EXPECT_EQ(installer->state(), WineInstaller::State::downloading(0.0));
    // A server quiet for a while is said to be waited for; the transfer goes on.
    EXPECT_EQ(installer->progress().message, "");
    env.clock().advance(9s);
    EXPECT_EQ(installer->progress().message, "");
    env.clock().advance(2s);
    EXPECT_EQ(installer->progress().message, "Waiting for 127.0.0.1\u2026");
    EXPECT_EQ(installer->state(), WineInstaller::State::downloading(0.0));

    installer->cancel();
    EXPECT_TRUE(installer->isBusy());
    EXPECT_NE(installer->state().kind(), WineKind::idle) << "idle while the flow still runs";
    installer->startInstall();
    ASSERT_TRUE(test::processEventsUntil([&] { return !installer->isBusy(); }));
    EXPECT_EQ(installer->state(), WineInstaller::State::idle());
    EXPECT_EQ(messages().filter("Wine installation cancelled").size(), 1);
    EXPECT_EQ(server.requestsFor("/repos/Kron4ek/Wine-Builds/releases").size(), 1u) << "a second flow started";
    EXPECT_EQ(installer->progress().message, "");

    const auto seen = states.size();
    test::ManualClock::processEvents();
    EXPECT_EQ(states.size(), seen);
    expectPreviousInstallIntact();
    server.release();
}

TEST_F(WineInstallerTest, ASilentReleaseListIsSaidToBeWaitedFor)
{
    serveRemote();
    test::FixtureHttpServer::Route list;
    list.body = "[]";
    list.stallAfter = 1;
    server.serve("/repos/Kron4ek/Wine-Builds/releases", list);
    installer->startInstall();
    ASSERT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 1; }));
    env.clock().advance(11s);
    EXPECT_EQ(installer->progress().message, "Waiting for 127.0.0.1\u2026");
    installer->cancel();
    server.release();
    ASSERT_TRUE(test::processEventsUntil([&] { return !installer->isBusy(); }));
    EXPECT_EQ(installer->progress().message, "");
}

// The reset of everything ends the install it finds running, so that nothing of it comes back.
TEST_F(WineInstallerTest, AFullResetEndsARunningInstallForGood)
{
    serveArchive(fixtures().wineArchive, 100);
    installer->startInstall();
    ASSERT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 1; }));

    const ResetReport report = test::resetEverything(env, *config, prefixHold, {HelperUninstaller::installer(*installer)});
    EXPECT_EQ(report.errors, QStringList());
    EXPECT_EQ(installer->state(), WineInstaller::State::idle());
    server.release();
    ASSERT_TRUE(test::processEventsUntil([&] { return !installer->isBusy(); }, 30s));
    EXPECT_FALSE(QFileInfo::exists(places::wineFolder()));
    EXPECT_EQ(temporaryFiles(), QStringList());
}

TEST_F(WineInstallerTest, ACancelDuringExtractionEndsTheToolAndKeepsThePreviousBuild)
{
    makePreviousInstall();
    const QString pidFile = env.root() + "/tar.pid";
    QFile::remove(env.hostPath("/usr/bin/tar"));
    ASSERT_TRUE(test::writeProgram(env.hostPath("/usr/bin/tar"), ("#!/bin/sh\necho $$ > " + pidFile + "\nexec sleep 30\n").toUtf8()));
    installer->startInstall();
    ASSERT_TRUE(test::processEventsUntil([&] { return !test::readBytes(pidFile).isEmpty(); }));
    EXPECT_EQ(installer->state().kind(), WineKind::extracting);

    installer->cancel();
    ASSERT_TRUE(test::processEventsUntil([&] { return !installer->isBusy(); }));
    EXPECT_EQ(installer->state(), WineInstaller::State::idle());
    const qint64 tar = test::readBytes(pidFile).trimmed().toLongLong();
    ASSERT_GT(tar, 0);
    EXPECT_FALSE(test::isAlive(tar));
    for (const auto &state : states) {
        EXPECT_NE(state.kind(), WineKind::complete);
    }
    expectPreviousInstallIntact();
    EXPECT_EQ(temporaryFiles(), QStringList());
}

// Whatever the remote services answer, the user reads what was asked and what came back, and
// nothing fetched stays behind.
TEST_F(WineInstallerTest, EachRemoteFailureSaysWhatWasAskedAndLeavesNothingBehind)
{
    using Fault = test::FixtureHttpServer::Fault;
    test::RemoteFailureTable table(server);
    const QString here = table.here();
    // What was being done, and from where, stands before the reason.
    const QString list = "The Wine release list from 127.0.0.1 could not be read: ";
    const QString download = "Could not download Wine: ";
    const QString cabextract = "The release information of cabextract from 127.0.0.1 could not be read: ";
    const std::vector<test::RemoteFailure> cases = {
        {"/repos/Kron4ek/Wine-Builds/releases", Fault::notFound, list + "the server answered 404 Not Found for the list"},
        {"/repos/Kron4ek/Wine-Builds/releases", Fault::rateLimited,
         list + "the server answered 403 Forbidden for the list: too many requests for now, try again later"},
        {"/repos/Kron4ek/Wine-Builds/releases", Fault::garbage, list + "the answer is not a list of releases"},
        {"/repos/Kron4ek/Wine-Builds/releases", Fault::lostRedirect, list + "the server answered 302 for the list"},
        // Followed at once, whatever its body does; its target is not there.
        {"/repos/Kron4ek/Wine-Builds/releases", Fault::endlessRedirect, list + "the server answered 404 Not Found for the list"},
        {"", Fault::notFound, list + "c" + table.refused().mid(1)},
        {"/dl/wine-10.0-amd64-wow64.tar.xz", Fault::serverError,
         download + "the server answered 500 Internal Server Error for the Wine build wine-10.0-amd64-wow64.tar.xz"},
        // No answer short of a success is an archive.
        {"/dl/wine-10.0-amd64-wow64.tar.xz", Fault::multipleChoices,
         download + "the server answered 300 Multiple Choices for the Wine build wine-10.0-amd64-wow64.tar.xz"},
        {"/dl/wine-10.0-amd64-wow64.tar.xz", Fault::notModified,
         download + "the server answered 304 Not Modified for the Wine build wine-10.0-amd64-wow64.tar.xz"},
        {"/dl/wine-10.0-amd64-wow64.tar.xz", Fault::lostRedirect,
         download + "the server answered 302 for the Wine build wine-10.0-amd64-wow64.tar.xz"},
        // tar's own reason follows.
        {"/dl/wine-10.0-amd64-wow64.tar.xz", Fault::garbage, "Failed to extract Wine archive: "},
        {"/dl/wine-10.0-amd64-wow64.tar.xz", Fault::dropped, download + "the answer from " + here + " broke off: "},
        {"/dl/wine-10.0-amd64-wow64.tar.xz", Fault::endlessRedirect,
         download + "the server answered 404 Not Found for the Wine build wine-10.0-amd64-wow64.tar.xz"},
        {"/dl/wine-10.0-amd64-wow64.tar.xz", Fault::redirectLoop,
         download + "too many HTTP redirects, the last from " + here},
        {"/Winetricks/winetricks/master/src/winetricks", Fault::notFound,
         "Could not install winetricks: GitHub returned HTTP 404 — try again later or install it with apt "
         "(`sudo apt install winetricks`)"},
        {"/api/formula/cabextract.json", Fault::garbage, cabextract},
        {"/api/formula/cabextract.json", Fault::notFound,
         cabextract + "the server answered 404 Not Found for the release information of cabextract"},
        {"/blobs/cabextract.tar.gz", Fault::notFound,
         "Could not download cabextract: the server answered 404 Not Found for the cabextract bottle"},
        {"/blobs/cabextract.tar.gz", Fault::dropped, "Could not download cabextract: the answer from " + here + " broke off: "},
        {"/blobs/cabextract.tar.gz", Fault::garbage,
         "Could not download cabextract: the SHA-256 of the cabextract bottle is not the one its release information "
         "gives: "},
    };
    for (const test::RemoteFailure &c : cases) {
        SCOPED_TRACE(table.describe(c));
        serveRemote();
        env.platform().setRemoteServices(RemoteServices::allAt(table.arrange(c)));
        ASSERT_TRUE(installToEnd());
        const QString shown = installer->state().message();
        EXPECT_EQ(installer->state().kind(), WineKind::error);
        table.expectShown(shown, c);
        EXPECT_EQ(messages().last(), "ERROR: " + shown);
        EXPECT_TRUE(env.log().contains("[WineInstaller] Install failed: " + shown));
        EXPECT_EQ(temporaryFiles(), QStringList());
        EXPECT_FALSE(QFileInfo::exists(places::wineFolder() + ".partial"));
        EXPECT_FALSE(QFileInfo::exists(places::ownCabextract()));
    }

    // Where apt is, a failed fetch of cabextract ends with Debian's package, ready to copy.
    ASSERT_TRUE(test::writeProgram(env.hostPath("/usr/bin/apt-get")));
    const test::RemoteFailure bottle{"/blobs/cabextract.tar.gz", Fault::garbage, "Could not download cabextract: "};
    serveRemote();
    env.platform().setRemoteServices(RemoteServices::allAt(table.arrange(bottle)));
    ASSERT_TRUE(installToEnd());
    EXPECT_TRUE(installer->state().message().endsWith(". Or install Debian's package: sudo apt install cabextract"))
        << installer->state().message().toStdString();

    // Nothing is asked for a support folder whose way another user may change.
    const QString data = QFileInfo(places::supportFolder()).path();
    ASSERT_TRUE(test::makeFolderWithMode(data, 0777));
    const auto asked = server.requests().size();
    ASSERT_TRUE(installToEnd());
    EXPECT_TRUE(installer->state().message().endsWith("the folder " + data + " is writable by others"))
        << installer->state().message().toStdString();
    EXPECT_EQ(server.requests().size(), asked);
}

// Beside a Wine that came without it, winetricks is fetched alone, the way the Wine install does.
TEST_F(WineInstallerTest, WinetricksIsFetchedAloneAndAFailureSaysWhyAndWhatElseWorks)
{
    Installer &winetricks = installer->winetricksInstaller();
    const auto fetchToEnd = [&] {
        winetricks.start();
        return test::processEventsUntil([&] { return !winetricks.progress().busy; }, 10s);
    };
    using Fault = test::FixtureHttpServer::Fault;
    server.serveFault("/Winetricks/winetricks/master/src/winetricks", Fault::notFound);
    ASSERT_TRUE(fetchToEnd());
    EXPECT_EQ(winetricks.progress().phase, InstallProgress::Phase::failed);
    EXPECT_TRUE(winetricks.progress().error.startsWith("Could not install winetricks: GitHub returned HTTP 404"))
        << winetricks.progress().error.toStdString();
    EXPECT_FALSE(winetricks.installedCopy().present);
    EXPECT_EQ(messages().last(), "ERROR: " + winetricks.progress().error);

    server.serveFault("/Winetricks/winetricks/master/src/winetricks", Fault::dropped);
    ASSERT_TRUE(test::writeProgram(env.hostPath("/usr/bin/apt-get")));
    ASSERT_TRUE(fetchToEnd());
    EXPECT_TRUE(winetricks.progress().error.startsWith("Could not install winetricks: ")) << "a transport error too";
    EXPECT_TRUE(winetricks.progress().error.endsWith(". Or install Debian's package: sudo apt install winetricks"));
    // A failure that gives the command already does not repeat it.
    server.serveFault("/Winetricks/winetricks/master/src/winetricks", Fault::notFound);
    ASSERT_TRUE(fetchToEnd());
    EXPECT_EQ(winetricks.progress().error.count("sudo apt install winetricks"), 1) << winetricks.progress().error.toStdString();

    // Nothing is fetched for a support folder whose way another user may change.
    const QString data = QFileInfo(places::supportFolder()).path();
    ASSERT_TRUE(test::makeFolderWithMode(data, 0777));
    const auto asked = server.requests().size();
    ASSERT_TRUE(fetchToEnd());
    EXPECT_TRUE(winetricks.progress().error.contains("the folder " + data + " is writable by others"))
        << winetricks.progress().error.toStdString();
    EXPECT_EQ(server.requests().size(), asked);
    ASSERT_TRUE(test::makeFolderWithMode(data, 0700));

    serveRemote();
    ASSERT_TRUE(fetchToEnd());
    EXPECT_EQ(winetricks.progress().phase, InstallProgress::Phase::complete);
    EXPECT_TRUE(winetricks.installedCopy().present);
    EXPECT_EQ(messages().last(), "winetricks installed");
}

TEST_F(WineInstallerTest, AnArchiveWithoutWineOrAForeignMachineFails)
{
    makePreviousInstall();
    serveArchive(fixtures().archiveWithoutWine);
    ASSERT_TRUE(installToEnd());
    EXPECT_EQ(installer->state(), WineInstaller::State::error("Wine binary not found after extraction"));
    expectPreviousInstallIntact();
    EXPECT_EQ(temporaryFiles(), QStringList());

    serveArchive(fixtures().wineThatCannotRun);
    ASSERT_TRUE(installToEnd());
    EXPECT_EQ(installer->state(), WineInstaller::State::error("The downloaded Wine build does not run on this computer: "
                                                              "wine: error while loading shared libraries: libgnutls.so.30"));
    expectPreviousInstallIntact();

    // A step after the swap fails as itself, with the build in place recorded.
    serveArchive(fixtures().wineArchive);
    server.serve("/api/formula/cabextract.json", "{}");
    ASSERT_TRUE(installToEnd());
    EXPECT_EQ(installer->state(),
              WineInstaller::State::error("The release information of cabextract from 127.0.0.1 could not be read: the "
                                          "release information was not in the expected shape"));
    EXPECT_EQ(runForOutput(places::ownWineBinary(), {}), QByteArray("wine-10.0\n"));
    EXPECT_EQ(installer->installedVersion(), "10.0");
    EXPECT_EQ(config->varaFMConfig().winePath, places::ownWineBinary());
    makePreviousInstall();
    config->setVaraFMConfig({});
    env.defaults().removeObject(WineInstaller::kInstalledVersionKey);

    // With no scratch folder to be had, the install ends failed, and its clean-up asks for none.
    const QString scratch = env.platform().paths().cache() + "/cordavelle-helper";
    QDir(scratch).removeRecursively();
    ASSERT_TRUE(test::writeFile(scratch, "the user's own file"));
    ASSERT_TRUE(installToEnd());
    EXPECT_TRUE(installer->state().message().startsWith("No private folder for the helper's scratch files could be had: "))
        << installer->state().message().toStdString();
    ASSERT_TRUE(QFile::remove(scratch));

    env.systemInfo().architecture = "aarch64";
    ASSERT_TRUE(installToEnd());
    EXPECT_EQ(installer->state(),
              WineInstaller::State::error("No Linux Wine build is available for this computer's architecture (aarch64)"));
    EXPECT_EQ(installer->installedVersion(), "");
    EXPECT_TRUE(config->varaFMConfig().winePath.isEmpty());
}

TEST_F(WineInstallerTest, TheBuildIsReplacedOnlyWithThePrefixHeldAndNoModemRunning)
{
    makePreviousInstall();
    int setUp = 0;
    ASSERT_TRUE(test::runToEnd(prefixHold.acquire(&setUp, "the prefix set-up", {})));
    installer->startInstall();
    ASSERT_TRUE(test::processEventsUntil([&] {
        return messages().contains("Waiting for the prefix set-up to finish with the Wine prefix...");
    }, 30s));
    // Past the waiting line only the hold's release goes on, and that is the test's to give.
    test::ManualClock::processEvents();
    EXPECT_EQ(test::readBytes(places::ownWineBinary()), QByteArray("#!/bin/sh\necho previous\n"));

    services.states[ServiceID::varaHF] = ServiceRunState::running;
    prefixHold.release(&setUp);
    ASSERT_TRUE(test::processEventsUntil([&] { return !installer->isBusy(); }, 30s));
    EXPECT_EQ(installer->state(), WineInstaller::State::error("Stop VARA HF before replacing Wine"));
    expectPreviousInstallIntact();
    EXPECT_FALSE(prefixHold.holder());

    // A modem on its way up or down runs the build as much as a running one.
    const std::vector<std::tuple<ServiceID, ServiceRunState, QString>> busy = {
        {ServiceID::varaFM, ServiceRunState::starting, "Stop VARA FM before replacing Wine"},
        {ServiceID::varaHF, ServiceRunState::stopping, "Stop VARA HF before replacing Wine"},
    };
    for (const auto &[modem, state, refusal] : busy) {
        services.states = {{modem, state}};
        ASSERT_TRUE(installToEnd());
        EXPECT_EQ(installer->state(), WineInstaller::State::error(refusal));
        expectPreviousInstallIntact();
    }

    // A modem that failed runs nothing.
    services.states = {{ServiceID::varaHF, ServiceRunState::error}};
    ASSERT_TRUE(installToEnd());
    EXPECT_EQ(installer->state(), WineInstaller::State::complete()) << installer->state().message().toStdString();
}

// A cancel that comes as the hold is given, once everything is fetched, unpacked and checked,
// still keeps the previous build: the swap is the one step nothing may follow.
TEST_F(WineInstallerTest, ACancelAtTheVeryEndKeepsThePreviousBuild)
{
    makePreviousInstall();
    int setUp = 0;
    ASSERT_TRUE(test::runToEnd(prefixHold.acquire(&setUp, "the prefix set-up", {})));
    installer->startInstall();
    ASSERT_TRUE(test::processEventsUntil([&] {
        return messages().contains("Waiting for the prefix set-up to finish with the Wine prefix...");
    }, 30s));
    prefixHold.release(&setUp);
    installer->cancel();
    ASSERT_TRUE(test::processEventsUntil([&] { return !installer->isBusy(); }, 30s));
    EXPECT_EQ(installer->state(), WineInstaller::State::idle());
    expectPreviousInstallIntact();
    EXPECT_FALSE(prefixHold.holder());
}

TEST_F(WineInstallerTest, TwoCabextractInstallsAtOnceShareOneFetch)
{
    test::FixtureHttpServer::Route bottle;
    bottle.body = fixtures().cabextractBottle;
    bottle.stallAfter = 100;
    server.serve("/blobs/cabextract.tar.gz", bottle);
    auto first = test::track(installer->installCabextract({}));
    ASSERT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 1; }));
    auto second = test::track(installer->installCabextract({}));
    // Only the stalled fetch could end it, and that is the test's to release.
    test::ManualClock::processEvents();
    EXPECT_FALSE(second->done);
    server.release();
    ASSERT_TRUE(test::processEventsUntil([&] { return first->done && second->done; }, 30s));
    EXPECT_EQ(first->error, std::nullopt);
    EXPECT_EQ(second->error, std::nullopt);
    EXPECT_EQ(server.requestsFor("/api/formula/cabextract.json").size(), 1u);
    EXPECT_EQ(runForOutput(places::ownCabextract(), {"--version"}), QByteArray("cabextract version 1.11\n"));

    // A failure is the waiting caller's too.
    ASSERT_TRUE(QFile::remove(places::ownCabextract()));
    bottle.body = QByteArray(1000, 'x');
    server.serve("/blobs/cabextract.tar.gz", bottle);
    first = test::track(installer->installCabextract({}));
    ASSERT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 1; }));
    second = test::track(installer->installCabextract({}));
    server.release();
    ASSERT_TRUE(test::processEventsUntil([&] { return first->done && second->done; }, 30s));
    EXPECT_TRUE(first->error && first->error->startsWith("Could not download cabextract: the SHA-256 of the cabextract "
                                                         "bottle is not the one its release information gives: "));
    EXPECT_EQ(second->error, first->error);
    EXPECT_EQ(server.requestsFor("/api/formula/cabextract.json").size(), 2u);
}

TEST(WineReleaseList, TheFirstReleaseWithAStableBuildWins)
{
    const auto pick = [](const char *json) { return WineInstaller::pickLatestStableRelease(json); };
    // Other builds first; within a release the WoW64 build.
    EXPECT_EQ(pick(R"([{"tag_name":"10.2","assets":[{"name":"wine-10.2-amd64.tar.xz","browser_download_url":"https://x/a"},
                       {"name":"wine-10.0-rc1-amd64.tar.xz","browser_download_url":"https://x/rc"},
                       {"name":"wine-10.0-staging-amd64.tar.xz","browser_download_url":"https://x/s"},
                       {"name":"wine-proton-10.0-1-amd64.tar.xz","browser_download_url":"https://x/p"},
                       {"name":"wine-10.0-x86.tar.xz","browser_download_url":"https://x/32"}]},
                      {"tag_name":"9.0.1","assets":[{"name":"wine-9.0.1-amd64.tar.xz","browser_download_url":"https://x/plain"},
                       {"name":"wine-9.0.1-amd64-wow64.tar.xz","browser_download_url":"https://x/wow"}]}])"),
              (WineInstaller::Release{QUrl("https://x/wow"), "9.0.1"}));
    // No tag: an empty one; an asset without a usable URL is passed over.
    EXPECT_EQ(pick(R"([{"assets":[{"name":"wine-9.0-amd64.tar.xz","browser_download_url":"not a url"},
                                  {"name":"wine-9.0-amd64.tar.xz","browser_download_url":"https://x/9"}]}])"),
              (WineInstaller::Release{QUrl("https://x/9"), ""}));

    const auto failure = [](const char *json) -> QString {
        try {
            WineInstaller::pickLatestStableRelease(json);
        } catch (const std::exception &error) {
            return QString::fromUtf8(error.what());
        }
        return "picked";
    };
    EXPECT_EQ(failure(R"({"message":"API rate limit exceeded"})"), "The answer is not a list of releases");
    EXPECT_EQ(failure(R"([1, 2])"), "The answer is not a list of releases");
    EXPECT_EQ(failure(R"([{"tag_name":"10.1","assets":"none"},{"tag_name":"10.0","assets":[]}])"), "No stable Wine release found");
    EXPECT_EQ(failure("<html>"), "The answer is not a list of releases");
}

TEST(WinetricksPayload, OnlyAShellScriptIsAccepted)
{
    const auto check = [](const QByteArray &data, int status) -> QString {
        try {
            WineInstaller::validateWinetricksPayload(data, status);
        } catch (const WineInstallerError &error) {
            return error.description();
        }
        return "accepted";
    };
    EXPECT_EQ(check("#!/usr/bin/env bash\n", 200), "accepted");
    EXPECT_EQ(check("#!/bin/sh\n", 0), "accepted");
    EXPECT_EQ(check("#!/bin/sh\n", 404), "Could not install winetricks: GitHub returned HTTP 404 — try again later or "
                                         "install it with apt (`sudo apt install winetricks`)");
    EXPECT_EQ(check("<!DOCTYPE html>\n<html lang=\"en\">", 200),
              "Could not install winetricks: Downloaded file is not a valid winetricks script (got 32 bytes starting "
              "with: \"<!DOCTYPE html>\\n<htm\").  Try again later or install it with apt (`sudo apt install winetricks`)");
}

TEST(WineInstallerUpdateCheck, WithoutAnAnswerLogsWhyAndFindsNothing)
{
    test::TestPlatform env;
    ConfigStore config(env.defaults(), env.platform());
    InstallLog log(env.clock(), env.log(), env.root() + "/support");
    test::RecordingServiceControl services;
    WinePrefixHold prefixHold;
    WineInstaller installer(config, log, env.platform(), services, prefixHold);
    EXPECT_EQ(test::runToEnd(installer.checkForUpdate()), std::nullopt);
    ASSERT_EQ(installer.logLines().size(), 1);
    EXPECT_TRUE(installer.logLines().at(0).endsWith("] Update check failed: The Wine release list from 127.0.0.1 could not be read: could not reach 127.0.0.1:9: Connection refused"));
}

} // namespace
} // namespace cordavelle
