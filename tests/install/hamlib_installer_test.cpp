#include "install/hamlib_installer.h"

#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "core/wine_prefix_hold.h"
#include "install/helper_uninstaller.h"
#include "install/install_log.h"
#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/fixture_http_server.h"
#include "support/full_reset.h"
#include "support/needs_root.h"
#include "support/remote_failure_table.h"
#include "support/qt_printers.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include "c_library_stand_ins.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <string>

#include <sys/stat.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

// How one fixture build of the two bottles differs from a good one.
struct BottleFaults {
    bool libusbWithoutLibrary = false;
    QString extraNeeded = {}; // a library rigctld also asks for
    bool failingVersion = false; // rigctld --version exits 3
    bool scriptRigctld = false;  // rigctld is no ELF program
};

bool runSucceeds(const QString &program, const QStringList &arguments, const QString &folder = {})
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start(program, arguments);
    return test::awaitEnd(process) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool compile(const QString &folder, const QString &source, const QStringList &arguments)
{
    QProcess compiler;
    compiler.setWorkingDirectory(folder);
    compiler.start("g++", QStringList{"-x", "c++", "-", "-x", "none"} + arguments);
    compiler.write(source.toUtf8());
    compiler.closeWriteChannel();
    return test::awaitEnd(compiler) && compiler.exitStatus() == QProcess::NormalExit && compiler.exitCode() == 0;
}

// Linux bottles as Homebrew ships them: a rigctld and two libraries that name Homebrew's loader,
// run path and library folder, which this machine lacks. Returns the two archives' paths.
std::pair<QString, QString> buildBottles(const QString &root, const QString &version, const BottleFaults &faults)
{
    const QString work = root + "/bottle-build-" + version;
    QDir(work).removeRecursively();
    const QString hamlib = work + "/hamlib/" + version;
    const QString libusb = work + "/libusb/1.0.27";
    QDir().mkpath(hamlib + "/bin");
    QDir().mkpath(hamlib + "/lib");
    QDir().mkpath(libusb + "/lib");
    QDir().mkpath(work + "/hamlib/.brew");
    const QString brewLib = "/home/linuxbrew/.linuxbrew/lib";

    EXPECT_TRUE(compile(libusb + "/lib", "extern \"C\" int fixture_usb_answer() { return 42; }\n",
                        {"-shared", "-fPIC", "-Wl,-soname,libusb-1.0.so.0", "-o", "libusb-1.0.so.0.4.0"}));
    QFile::link("libusb-1.0.so.0.4.0", libusb + "/lib/libusb-1.0.so.0");
    EXPECT_TRUE(compile(hamlib + "/lib",
                        "extern \"C\" int fixture_usb_answer();\n"
                        "extern \"C\" int fixture_hamlib_answer() { return fixture_usb_answer(); }\n",
                        {"-shared", "-fPIC", "-Wl,-soname,libhamlib.so.4", "-o", "libhamlib.so.4.0.6",
                         "-Wl,-rpath," + brewLib, libusb + "/lib/libusb-1.0.so.0"}));
    QFile::link("libhamlib.so.4.0.6", hamlib + "/lib/libhamlib.so.4");
    const QString rigctld = hamlib + "/bin/rigctld";
    if (faults.scriptRigctld) {
        EXPECT_TRUE(test::writeProgram(rigctld, "#!/bin/sh\necho rigctld\n"));
    } else {
        const QString main = QString("#include <cstdio>\nextern \"C\" int fixture_hamlib_answer();\n"
                                     "int main() { std::printf(\"rigctld Hamlib %1 %d\\n\", fixture_hamlib_answer());"
                                     " return %2; }\n")
                                 .arg(version, faults.failingVersion ? "3" : "0");
        EXPECT_TRUE(compile(hamlib + "/bin", main,
                            {"-o", "rigctld", hamlib + "/lib/libhamlib.so.4", libusb + "/lib/libusb-1.0.so.0",
                             "-Wl,--no-as-needed", "-Wl,-rpath,@@HOMEBREW_PREFIX@@/lib",
                             "-Wl,--dynamic-linker=" + brewLib + "/ld.so"}));
        // Homebrew names libusb by its path in its own folders.
        EXPECT_TRUE(runSucceeds("patchelf", {"--replace-needed", "libusb-1.0.so.0",
                                     "@@HOMEBREW_PREFIX@@/opt/libusb/lib/libusb-1.0.so.0", rigctld}));
        if (!faults.extraNeeded.isEmpty()) {
            EXPECT_TRUE(runSucceeds("patchelf", {"--add-needed", faults.extraNeeded, rigctld}));
        }
    }
    if (faults.libusbWithoutLibrary) {
        QFile::remove(libusb + "/lib/libusb-1.0.so.0");
        QFile::remove(libusb + "/lib/libusb-1.0.so.0.4.0");
    }
    for (const QString &file : {rigctld, hamlib + "/lib/libhamlib.so.4.0.6", libusb + "/lib/libusb-1.0.so.0.4.0"}) {
        QFile::setPermissions(file, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup);
    }
    EXPECT_TRUE(runSucceeds("tar", {"-czf", "hamlib.tar.gz", "hamlib"}, work));
    EXPECT_TRUE(runSucceeds("tar", {"-czf", "libusb.tar.gz", "libusb"}, work));
    return {work + "/hamlib.tar.gz", work + "/libusb.tar.gz"};
}

QString rigctldPrints()
{
    QProcess rigctld;
    rigctld.start(places::ownRigctld(), {"--version"});
    test::awaitEnd(rigctld, std::chrono::seconds(30));
    return QString::fromUtf8(rigctld.readAllStandardOutput()).trimmed();
}

class HamlibInstallerTest : public ::testing::Test {
protected:
    HamlibInstallerTest()
    {
        env.platform().setRemoteServices(RemoteServices::allAt(server.base()));
        QObject::connect(&installer, &HamlibInstaller::stateChanged, [this] { states.push_back(installer.state()); });
    }

    // Serves the two formulas and their bottles for `version`.
    void publish(const QString &version, const BottleFaults &faults = {})
    {
        const auto [hamlib, libusb] = buildBottles(env.root(), version, faults);
        serveBuilt(version, hamlib, libusb);
    }

    // Serves bottles built before.
    void serveBuilt(const QString &version, const QString &hamlib, const QString &libusb)
    {
        const QByteArray hamlibBottle = test::readBytes(hamlib);
        const QByteArray libusbBottle = test::readBytes(libusb);
        server.serve("/api/formula/hamlib.json",
                     test::bottleFormula(version, server.url("/v2/hamlib/blobs/" + version).toString(), hamlibBottle));
        server.serve("/api/formula/libusb.json",
                     test::bottleFormula("1.0.27", server.url("/v2/libusb/blobs/" + version).toString(), libusbBottle));
        server.serve("/v2/hamlib/blobs/" + version, hamlibBottle);
        server.serve("/v2/libusb/blobs/" + version, libusbBottle);
    }

    void installAndWait()
    {
        installer.startInstall();
        // A refusal before anything is fetched ends the install within the start.
        ASSERT_TRUE(test::processEventsUntil([&] { return !installer.isRunning(); }, 60s));
    }

    // The visible log without its time stamps.
    QStringList messages() const
    {
        QStringList out;
        for (const QString &line : installer.logLines()) {
            EXPECT_TRUE(line.startsWith('[') && line.mid(9, 2) == "] ") << line.toStdString();
            out << line.mid(11);
        }
        return out;
    }

    // Starts an install of 4.6 that stalls halfway, in the download of libusb.
    void startInstallThatStalls()
    {
        publish("4.6");
        test::FixtureHttpServer::Route stalled;
        stalled.body = test::readBytes(env.root() + "/bottle-build-4.6/libusb.tar.gz");
        stalled.stallAfter = 10;
        server.serve("/v2/libusb/blobs/4.6", stalled);
        installer.startInstall();
        ASSERT_TRUE(test::processEventsUntil([&] { return server.stalledCount() == 1; }, 20s));
    }

    void expectNoLeftovers()
    {
        EXPECT_EQ(QDir(env.platform().paths().privateTemporary())
                      .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
                  QStringList());
        EXPECT_FALSE(QFileInfo::exists(places::hamlibFolder() + ".partial"));
        const QString scratch = env.platform().paths().privateTemporary();
        EXPECT_FALSE(QFileInfo::exists(scratch + "/hamlib-extract"));
        EXPECT_FALSE(QFileInfo::exists(scratch + "/libusb-extract"));
    }

    // The real tools, before the installer takes the platform's runner.
    static test::TestPlatform &withSystemTools(test::TestPlatform &env)
    {
        env.useSystemTools();
        return env;
    }

    test::TestPlatform env;
    test::TestPlatform &tools = withSystemTools(env);
    test::FixtureHttpServer server;
    ConfigStore config{env.defaults(), env.platform()};
    InstallLog installLog{env.clock(), env.log(), env.root() + "/logs"};
    HamlibInstaller installer{config, env.defaults(), env.platform().httpClient(), env.platform().commandRunner(),
                              env.systemInfo(), env.clock(), env.platform().remoteServices(), installLog};
    std::vector<HamlibInstaller::State> states;
};

TEST_F(HamlibInstallerTest, InstallsARigctldThatRunsFromTheHelpersFolderAndUpdatesIt)
{
    using State = HamlibInstaller::State;
    // A session umask that leaves new files writable by the user's group.
    const test::ScopedUmask groupWritable(002);
    EXPECT_FALSE(installer.isInstalled());
    publish("4.6");
    installAndWait();
    EXPECT_EQ(installer.state(), State::complete()) << installer.state().message.toStdString();
    EXPECT_EQ(states, (std::vector<State>{State::downloading(0.0), State::downloading(0.5), State::extracting(),
                                          State::complete()}));
    EXPECT_EQ(messages(), QStringList({"Fetching Hamlib bottle info...", "Downloading Hamlib...", "Downloading libusb...",
                                       "Extracting and assembling Hamlib...", "Hamlib assembled",
                                       "Fixing library paths...", "Library paths fixed",
                                       "Hamlib v4.6 installation complete!"}));
    EXPECT_EQ(rigctldPrints(), "rigctld Hamlib 4.6 42");
    EXPECT_TRUE(installer.isInstalled());
    EXPECT_EQ(installer.installedVersion(), "4.6");
    EXPECT_EQ(QDir(places::hamlibFolder() + "/lib").entryList(QDir::Files, QDir::Name),
              QStringList({"libhamlib.so.4", "libusb-1.0.so.0"}));
    EXPECT_EQ(config.rigctldConfig().rigctldPath, places::ownRigctld());
    EXPECT_EQ(tools::findRigctld(), places::ownRigctld());
    // Nothing of it may be changed by others, or the launch check would refuse it.
    EXPECT_EQ(test::othersMayWriteIn(places::hamlibFolder()), QStringList());
    const QString scratch = env.platform().paths().privateTemporary();
    EXPECT_FALSE(QFileInfo::exists(scratch + "/hamlib-bottle.tar.gz"));
    expectNoLeftovers();
    installLog.flush();
    EXPECT_TRUE(test::readBytes(installLog.logFile()).contains("] Hamlib v4.6 installation complete!\n"));
    for (const auto &request : server.requests()) {
        if (request.path.startsWith("/v2/")) {
            EXPECT_EQ(request.header("Authorization"), QByteArray("Bearer Tw=="));
        }
    }

    // An update over it keeps a rigctld the user chose.
    RigctldConfig rig = config.rigctldConfig();
    rig.rigctldPath = "/usr/bin/rigctld";
    config.setRigctldConfig(rig);
    publish("4.7");
    EXPECT_EQ(test::runToEnd(installer.checkForUpdate()), (DependencyVersions{"4.7", "4.6"}));
    installAndWait();
    EXPECT_EQ(installer.state(), State::complete()) << installer.state().message.toStdString();
    EXPECT_EQ(messages().front(), "Fetching Hamlib bottle info...");
    EXPECT_EQ(rigctldPrints(), "rigctld Hamlib 4.7 42");
    EXPECT_EQ(installer.installedVersion(), "4.7");
    EXPECT_EQ(config.rigctldConfig().rigctldPath, "/usr/bin/rigctld");

    QFile::setPermissions(places::ownRigctld(), QFile::ReadOwner | QFile::WriteOwner);
    EXPECT_FALSE(installer.isInstalled());
}

// Every failure leaves the previous install in place, runnable, with its version.
TEST_F(HamlibInstallerTest, AFailureAtEachStepLeavesThePreviousInstallRunnable)
{
    publish("4.6");
    installAndWait();
    ASSERT_EQ(rigctldPrints(), "rigctld Hamlib 4.6 42");

    struct Case {
        const char *name;
        std::function<void()> publishBroken;
        QString error; // the start of the error's text
        bool unpacks = true; // whether the install gets as far as unpacking
    };
    const QString hamlibBottle = server.url("/v2/hamlib/blobs/4.7").toString();
    // A real bottle, of another build than the formula names.
    const QByteArray otherBuild = test::readBytes(env.root() + "/bottle-build-4.6/hamlib.tar.gz");
    const QByteArray garbage = "not an archive";
    const QString scratch = env.platform().paths().privateTemporary();
    const std::vector<Case> cases = {
        {"formula of another shape", [&] { server.serve("/api/formula/hamlib.json", "{}"); },
         "The release information of hamlib from 127.0.0.1 could not be read: could not parse the Hamlib release information",
         false},
        {"only a macOS bottle",
         [&] { server.serve("/api/formula/hamlib.json", test::bottleFormula("4.7", hamlibBottle, {}, "arm64_sonoma")); },
         "The release information of hamlib from 127.0.0.1 could not be read: no Hamlib bottle available for this "
         "architecture",
         false},
        {"a bottle whose SHA-256 is not the formula's",
         [&] {
             server.serve("/api/formula/hamlib.json",
                          test::bottleFormula("4.7", hamlibBottle, {}, "x86_64_linux", test::sha256Hex("the formula's")));
             server.serve("/v2/hamlib/blobs/4.7", otherBuild);
         },
         "Could not download Hamlib: the SHA-256 of the Hamlib bottle is not the one its release information gives: "
         "expected " + test::sha256Hex("the formula's") + ", got " + test::sha256Hex(otherBuild),
         false},
        {"a formula without a SHA-256",
         [&] {
             server.serve("/api/formula/libusb.json",
                          QString(R"({"versions":{"stable":"1.0.27"},"bottle":{"stable":{"files":{"x86_64_linux":{"url":"%1"}}}}})")
                              .arg(server.url("/v2/libusb/blobs/4.7").toString())
                              .toUtf8());
         },
         "Could not download libusb: the SHA-256 of the libusb bottle can't be checked: its release information gives none",
         false},
        {"a bottle that does not unpack",
         [&] {
             server.serve("/api/formula/hamlib.json", test::bottleFormula("4.7", hamlibBottle, garbage));
             server.serve("/v2/hamlib/blobs/4.7", garbage);
         },
         "Failed to extract Hamlib archive: "},
        {"a library found nowhere", [&] { publish("4.7", {.extraNeeded = "libcordavelle-absent.so.7"}); },
         "rigctld needs libcordavelle-absent.so.7, which neither the Hamlib nor the libusb bottle holds"},
        {"a rigctld that fails", [&] { publish("4.7", {.failingVersion = true}); },
         "rigctld does not run: rigctld Hamlib 4.7 42"},
        {"a rigctld that is no program", [&] { publish("4.7", {.scriptRigctld = true}); },
         "Failed to fix library paths: patchelf: "},
        {"libusb missing from its bottle", [&] { publish("4.7", {.libusbWithoutLibrary = true}); }, ""},
        {"a copy whose mode can't be changed", [] { test::g_fixedModeSuffix = "/bin/rigctld"; }, "Could not set the permissions of "},
        {"a scratch folder that can't be emptied",
         [&] {
             ASSERT_TRUE(test::writeFile(scratch + "/hamlib-extract/left-by-an-earlier-run", "stale"));
             test::g_busySuffix = "left-by-an-earlier-run";
         },
         "Could not remove " + scratch + "/hamlib-extract: " + scratch +
             "/hamlib-extract/left-by-an-earlier-run could not be removed: Device or resource busy"},
        {"a scratch folder emptied only part way",
         [&] {
             ASSERT_TRUE(test::writeFile(scratch + "/hamlib-extract/a-stale-file", "stale"));
             ASSERT_TRUE(test::writeFile(scratch + "/hamlib-extract/left-by-an-earlier-run", "stale"));
             test::g_busySuffix = "left-by-an-earlier-run";
         },
         "Could not remove " + scratch + "/hamlib-extract: partly removed, 1 entry gone: " + scratch +
             "/hamlib-extract/left-by-an-earlier-run could not be removed: Device or resource busy"},
    };
    const auto runRow = [&](const Case &c) {
        SCOPED_TRACE(c.name);
        test::g_fixedModeSuffix.clear();
        test::g_unreadableSuffix.clear();
        publish("4.7");
        c.publishBroken();
        installAndWait();
        test::g_fixedModeSuffix.clear();
        test::g_unreadableSuffix.clear();
        test::g_busySuffix.clear();
        EXPECT_EQ(installer.state().phase, HamlibInstaller::State::Case::error);
        EXPECT_TRUE(installer.state().message.startsWith(c.error)) << installer.state().message.toStdString();
        EXPECT_EQ(messages().back(), "ERROR: " + installer.state().message);
        EXPECT_TRUE(env.log().contains("[HamlibInstaller] Install failed: " + installer.state().message));
        EXPECT_EQ(rigctldPrints(), "rigctld Hamlib 4.6 42");
        EXPECT_EQ(installer.installedVersion(), "4.6");
        EXPECT_EQ(messages().contains("Extracting and assembling Hamlib..."), c.unpacks);
        expectNoLeftovers();
    };
    for (const Case &c : cases) {
        runRow(c);
    }
    // Nothing is fetched for a support folder whose way another user may change.
    const QString data = QFileInfo(places::supportFolder()).path();
    const auto dataMode = QFile::permissions(data);
    ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0777), 0);
    const auto asked = server.requests().size();
    runRow({"a data folder another user may change", [] {},
            "Nothing is removed or installed in " + places::supportFolder() + ": the folder " + data + " is writable by others",
            false});
    EXPECT_EQ(server.requests().size(), asked);
    QFile::setPermissions(data, dataMode);
    // A bottle whose digest can't be taken is as unchecked as one whose formula gives none.
    SKIP_AS_ROOT("root reads every file: a bottle the user can't read back needs a user");
    runRow({"a bottle that can't be read back", [] { test::g_unreadableSuffix = "/hamlib-bottle.tar.gz"; },
            "Could not download Hamlib: could not read " + env.platform().paths().privateTemporary() +
                "/hamlib-bottle.tar.gz to check it",
            false});
}

// Whatever the remote services answer, the user reads what was asked and what came back, and
// nothing fetched stays behind.
TEST_F(HamlibInstallerTest, EachRemoteFailureSaysWhatWasAskedAndLeavesNothingBehind)
{
    using Fault = test::FixtureHttpServer::Fault;
    const auto [hamlib, libusb] = buildBottles(env.root(), "4.6", {});
    test::RemoteFailureTable table(server);
    const QString here = table.here();
    // What was being read, and from where, stands before the reason.
    const auto formulaOf = [](const QString &name) {
        return "The release information of " + name + " from 127.0.0.1 could not be read: ";
    };
    const std::vector<test::RemoteFailure> cases = {
        {"/api/formula/hamlib.json", Fault::notFound,
         formulaOf("hamlib") + "the server answered 404 Not Found for the release information of hamlib"},
        {"/api/formula/libusb.json", Fault::rateLimited,
         formulaOf("libusb") +
             "the server answered 403 Forbidden for the release information of libusb: too many requests for now, try "
             "again later"},
        {"/api/formula/hamlib.json", Fault::garbage, formulaOf("hamlib") + "could not parse the Hamlib release information"},
        {"/api/formula/hamlib.json", Fault::endlessRedirect,
         formulaOf("hamlib") + "the server answered 404 Not Found for the release information of hamlib"},
        {"", Fault::notFound, formulaOf("hamlib") + "c" + table.refused().mid(1)},
        {"/v2/hamlib/blobs/4.6", Fault::serverError,
         "Could not download Hamlib: the server answered 500 Internal Server Error for the Hamlib bottle"},
        {"/v2/libusb/blobs/4.6", Fault::notFound,
         "Could not download libusb: the server answered 404 Not Found for the libusb bottle"},
        {"/v2/libusb/blobs/4.6", Fault::dropped, "Could not download libusb: the answer from " + here + " broke off: "},
        {"/v2/hamlib/blobs/4.6", Fault::redirectLoop,
         "Could not download Hamlib: too many HTTP redirects, the last from " + here},
        // What the formula's SHA-256 and that of what came are follows.
        {"/v2/libusb/blobs/4.6", Fault::garbage,
         "Could not download libusb: the SHA-256 of the libusb bottle is not the one its release information gives: "},
    };
    for (const test::RemoteFailure &c : cases) {
        SCOPED_TRACE(table.describe(c));
        serveBuilt("4.6", hamlib, libusb);
        env.platform().setRemoteServices(RemoteServices::allAt(table.arrange(c)));
        installAndWait();
        const QString shown = installer.state().message;
        EXPECT_EQ(installer.state().phase, HamlibInstaller::State::Case::error);
        // Where apt is (these tests run the machine's tools), Debian's package ends every failure.
        const QString advice = " Or install Debian's package: sudo apt install libhamlib-utils";
        EXPECT_EQ(shown.endsWith(advice), tools::findAptGet().has_value());
        QString failure = tools::findAptGet() ? shown.chopped(advice.size()) : shown;
        if (failure.endsWith('.') && !c.error.endsWith('.')) {
            failure.chop(1);
        }
        table.expectShown(failure, c);
        EXPECT_EQ(messages().back(), "ERROR: " + shown);
        EXPECT_TRUE(env.log().contains("[HamlibInstaller] Install failed: " + shown));
        EXPECT_FALSE(installer.isInstalled());
        expectNoLeftovers();
    }
}

TEST_F(HamlibInstallerTest, ACancelEndsInIdleOnlyOnceTheInstallHasLetGo)
{
    // With nothing running it says so at once.
    installer.cancel();
    EXPECT_EQ(installer.state(), HamlibInstaller::State::idle());
    EXPECT_EQ(messages(), QStringList{"Hamlib installation cancelled"});

    ASSERT_NO_FATAL_FAILURE(startInstallThatStalls());
    EXPECT_EQ(installer.state(), HamlibInstaller::State::downloading(0.5));

    installer.cancel();
    // A second start while the first still runs is refused.
    installer.startInstall();
    EXPECT_TRUE(installer.isRunning());
    EXPECT_NE(installer.state(), HamlibInstaller::State::idle());
    ASSERT_TRUE(test::processEventsUntil([&] { return !installer.isRunning(); }, 20s));
    server.release();
    EXPECT_EQ(installer.state(), HamlibInstaller::State::idle());
    EXPECT_EQ(messages(), QStringList({"Fetching Hamlib bottle info...", "Downloading Hamlib...", "Downloading libusb...",
                                       "Hamlib installation cancelled"}));
    EXPECT_FALSE(installer.isInstalled());
    EXPECT_EQ(installer.installedVersion(), "");
    expectNoLeftovers();
}

// An install downloads, unpacks and runs in the one scratch folder it began with, even where a
// later look would hand out another; and it unpacks nothing there once another user may change
// that folder's way.
TEST_F(HamlibInstallerTest, AnInstallKeepsToTheScratchFolderItBeganIn)
{
    ASSERT_NO_FATAL_FAILURE(startInstallThatStalls());
    const QString began = env.platform().paths().privateTemporary();
    const QString cache = env.platform().paths().cache();
    ASSERT_TRUE(began.startsWith(cache));
    // From now on the cache is refused and the runtime folder is the place.
    const QString runtime = env.root() + "/runtime";
    ASSERT_TRUE(test::makeFolderWithMode(runtime, 0700));
    ASSERT_EQ(::chmod(QFile::encodeName(cache).constData(), 0777), 0);
    ASSERT_EQ(env.platform().paths().privateTemporary(), runtime + "/cordavelle-helper");
    QDir(runtime + "/cordavelle-helper").removeRecursively();

    server.release();
    ASSERT_TRUE(test::processEventsUntil([&] { return !installer.isRunning(); }, 60s));
    EXPECT_TRUE(installer.state().message.contains(began + ": the folder " + cache + " is writable by others"))
        << installer.state().message.toStdString();
    EXPECT_FALSE(installer.isInstalled());
    EXPECT_FALSE(QFileInfo::exists(runtime + "/cordavelle-helper"));
    EXPECT_EQ(QDir(began).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}

// The reset of everything ends the install it finds running, so that nothing of it comes back.
TEST_F(HamlibInstallerTest, AFullResetEndsARunningInstallForGood)
{
    ASSERT_NO_FATAL_FAILURE(startInstallThatStalls());

    WinePrefixHold prefixHold;
    const ResetReport report = test::resetEverything(env, config, prefixHold, {HelperUninstaller::installer(installer)});
    EXPECT_EQ(report.errors, QStringList());
    EXPECT_EQ(installer.state(), HamlibInstaller::State::idle());
    server.release();
    ASSERT_TRUE(test::processEventsUntil([&] { return !installer.isRunning(); }, 60s));
    EXPECT_FALSE(QFileInfo::exists(places::hamlibFolder()));
    EXPECT_EQ(config.rigctldConfig().rigctldPath, "");
}

// Once the support folder is set aside, its name is free: an install then would make a new one
// that outlives the reset, with Hamlib's record.
TEST_F(HamlibInstallerTest, AnInstallAskedForDuringAFullResetIsRefusedAndNothingOfItOutlivesTheReset)
{
    publish("4.6");
    ASSERT_TRUE(test::writeFile(places::supportFolder() + "/walked-slowly", "x"));
    test::g_heldRemoval.suffix = "walked-slowly";
    test::g_heldRemoval.meanwhile = [this] { installer.startInstall(); };

    WinePrefixHold prefixHold;
    const ResetReport report = test::resetEverything(env, config, prefixHold, {HelperUninstaller::installer(installer)});
    EXPECT_EQ(report.errors, QStringList());
    ASSERT_TRUE(test::g_heldRemoval.open);
    ASSERT_TRUE(test::processEventsUntil([&] { return !installer.isRunning(); }, 60s));
    const QString refusal = places::supportFolder() + " is being removed.";
    EXPECT_EQ(installer.state(), HamlibInstaller::State::error(refusal));
    EXPECT_EQ(messages(), QStringList{"ERROR: " + refusal});
    EXPECT_FALSE(QFileInfo::exists(places::supportFolder()));
    EXPECT_EQ(installer.installedVersion(), "");
    EXPECT_EQ(config.rigctldConfig().rigctldPath, "");
}

TEST_F(HamlibInstallerTest, AnUpdateCheckWithoutTheFormulaGivesNothingAndSaysWhy)
{
    server.serveHtmlPage("/api/formula/hamlib.json", 503);
    EXPECT_EQ(test::runToEnd(installer.checkForUpdate()), std::nullopt);
    ASSERT_EQ(messages().size(), 1);
    EXPECT_TRUE(messages().front().startsWith("Update check failed: The release information of hamlib from 127.0.0.1 could "
                                              "not be read: the server answered 503"));
}

} // namespace
} // namespace cordavelle
