#include "vara_installer_fixture.h"

#include "base/helper_places.h"
#include "platform/tree_removal.h"
#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/remote_failure_table.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "radio/read_only_folder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {
namespace {

using test::runToEnd;
using ErrorKind = VARAInstallerError::Kind;

std::optional<ErrorKind> errorKindOf(const std::function<void()> &step)
{
    try {
        step();
    } catch (const VARAInstallerError &error) {
        return error.kind();
    }
    return std::nullopt;
}

TEST(VARADownloadPage, TheLastMatchingLinkWinsAndRelativeLinksResolveAgainstThePage)
{
    const QUrl page(QStringLiteral("https://downloads.example/VARA%20Products/"));
    const QByteArray listing = R"(<a href="VARA%20FM%204.3.9%20setup.zip">fm</a>
        <a href="https://mirror.example/VARA%20HF%204.8.6%20setup.zip">old</a>
        <A HREF="/VARA%20Products/vara%20hf%204.8.7%20Setup.ZIP">new</A>
        <a href="VARA%20HF%20manual.pdf">manual</a>)";
    EXPECT_EQ(downloadLinkInPage(listing, page, VARAVariant::hf).toString(QUrl::FullyEncoded),
              "https://downloads.example/VARA%20Products/vara%20hf%204.8.7%20Setup.ZIP");
    EXPECT_EQ(downloadLinkInPage(listing, page, VARAVariant::fm).toString(QUrl::FullyEncoded),
              "https://downloads.example/VARA%20Products/VARA%20FM%204.3.9%20setup.zip");

    EXPECT_EQ(errorKindOf([&] { downloadLinkInPage("<p>nothing here</p>", page, VARAVariant::hf); }),
              ErrorKind::noDownloadFound);
    EXPECT_EQ(errorKindOf([&] { downloadLinkInPage("\xff\xfe<a href=\"x\">", page, VARAVariant::hf); }),
              ErrorKind::downloadPageParseFailed);
}

TEST(VARADownloadPage, FileNamesAreDecodedOnceAndNamesThatLeaveTheFolderAreRefused)
{
    struct Case {
        const char *url;
        std::optional<QString> name;
        std::optional<QString> version;
    };
    const Case cases[] = {
        {"https://h/VARA%20HF%204.8.7%20setup.zip", "VARA HF 4.8.7 setup.zip", "4.8.7"},
        {"https://h/VARA%20FM%20V4.3%20setup.zip", "VARA FM V4.3 setup.zip", "4.3"},
        {"https://h/VARA%20HF%20setup.zip", "VARA HF setup.zip", std::nullopt},
        // Decoded twice this would be "../../x" or "a/b".
        {"https://h/..%252F..%252Fx%20setup.zip", "..%2F..%2Fx setup.zip", std::nullopt},
        {"https://h/a%2Fb%20setup.zip", std::nullopt, std::nullopt},
        {"https://h/%2E%2E", std::nullopt, std::nullopt},
        {"https://h/x%00setup.zip", std::nullopt, std::nullopt},
        {"https://h/", std::nullopt, std::nullopt},
    };
    for (const Case &c : cases) {
        const auto name = safeDownloadFileName(QUrl(QString::fromUtf8(c.url)));
        EXPECT_EQ(name, c.name) << c.url;
        if (name) {
            EXPECT_EQ(versionFromFileName(*name), c.version) << c.url;
        }
    }
}

// The flow's own setter, so that a step can be seen in the state the flow puts it in.
class SteppedInstaller : public VARAInstaller {
public:
    using VARAInstaller::setState;
    using VARAInstaller::VARAInstaller;
};

class VARAInstallerTest : public test::VARAInstallerFixture {
protected:
    SteppedInstaller &make(VARAVariant variant)
    {
        installers.push_back(std::make_unique<SteppedInstaller>(variant, collaborators()));
        return *installers.back();
    }

    // A zip made with the real zip tool from `files` (relative paths).
    QByteArray zipOf(const QStringList &files)
    {
        QDir work(env.root() + "/zipwork-" + QString::number(++zipCount));
        work.mkpath(".");
        for (const QString &file : files) {
            QFileInfo(work.filePath(file)).dir().mkpath(".");
            QFile out(work.filePath(file));
            out.open(QIODevice::WriteOnly);
            out.write("MZ");
        }
        QProcess zip;
        zip.setWorkingDirectory(work.path());
        zip.start("zip", QStringList{"-q", "-r", "archive.zip"} + files);
        EXPECT_TRUE(test::awaitEnd(zip) && zip.exitCode() == 0) << "zip failed";
        QFile archive(work.filePath("archive.zip"));
        archive.open(QIODevice::ReadOnly);
        return archive.readAll();
    }

    void servePage(const QByteArray &links) { server.serve("/VARA%20Products/", "<html>" + links + "</html>"); }

    // Every file below the test's root, so a test can tell nothing landed outside a folder.
    QStringList filesBelowRoot() const
    {
        QStringList found;
        for (QDirIterator it(env.root(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
            found << it.next();
        }
        return found;
    }

    std::vector<std::unique_ptr<SteppedInstaller>> installers;
    int zipCount = 0;
};

TEST_F(VARAInstallerTest, DownloadsWithProgressUnpacksAndFindsTheSetupProgram)
{
    VARAInstaller &hf = make(VARAVariant::hf);
    servePage(R"(<a href="VARA%20HF%204.8.6%20setup.zip">a</a> <a href="VARA%20HF%204.8.7%20setup.zip">b</a>)");
    test::FixtureHttpServer::Route archive;
    archive.body = zipOf({"readme.txt", "inner/VARA HF Setup.EXE"});
    server.serve("/VARA%20Products/VARA%20HF%204.8.7%20setup.zip", archive);
    // Something of an earlier download, which goes first.
    QDir(hf.downloadFolder()).mkpath("stale");

    const QUrl url = runToEnd(hf.findDownloadURL());
    EXPECT_EQ(url, server.url("/VARA%20Products/VARA%20HF%204.8.7%20setup.zip"));

    const QString zip = runToEnd(hf.downloadFile(url));
    EXPECT_EQ(zip, hf.downloadFolder() + "/VARA HF 4.8.7 setup.zip");
    EXPECT_FALSE(QFileInfo::exists(hf.downloadFolder() + "/stale"));

    const QString folder = runToEnd(hf.extractZip(zip));
    EXPECT_EQ(folder, hf.downloadFolder() + "/VARA HF 4.8.7 setup");
    EXPECT_EQ(hf.findInstallerExe(folder), folder + "/inner/VARA HF Setup.EXE");
}

TEST_F(VARAInstallerTest, ProgressReportsOnlyWhileDownloading)
{
    SteppedInstaller &fm = make(VARAVariant::fm);
    test::FixtureHttpServer::Route big;
    big.generatedSize = 3 * 1024 * 1024;
    server.serve("/VARA%20Products/VARA%20FM%20setup.zip", big);
    test::FixtureHttpServer::Route unsized = big;
    unsized.sendLength = false;
    server.serve("/VARA%20Products/VARA%20FM%202%20setup.zip", unsized);
    std::vector<VARAInstaller::State> states;
    QObject::connect(&fm, &VARAInstaller::stateChanged, [&](const VARAInstaller::State &s) { states.push_back(s); });

    fm.setState(VARAInstaller::State::downloading(0.0));
    runToEnd(fm.downloadFile(server.url("/VARA%20Products/VARA%20FM%20setup.zip")));
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), VARAInstaller::State::downloading(1.0));
    for (std::size_t i = 1; i < states.size(); ++i) {
        EXPECT_LT(states[i - 1].progress, states[i].progress);
    }

    // Of unknown size: stays at 0.0 to the end.
    states.clear();
    fm.setState(VARAInstaller::State::downloading(0.0));
    runToEnd(fm.downloadFile(server.url("/VARA%20Products/VARA%20FM%202%20setup.zip")));
    EXPECT_EQ(states, (std::vector<VARAInstaller::State>{VARAInstaller::State::downloading(0.0)}));

    // Once the flow has moved on, the reports leave the state alone.
    fm.setState({VARAInstaller::State::Kind::extracting, 0.0, {}});
    states.clear();
    runToEnd(fm.downloadFile(server.url("/VARA%20Products/VARA%20FM%20setup.zip")));
    EXPECT_TRUE(states.empty());
}

TEST_F(VARAInstallerTest, AHostileLinkNeverWritesOutsideTheDownloadFolder)
{
    VARAInstaller &hf = make(VARAVariant::hf);
    const QStringList before = filesBelowRoot();
    int refused = 0;
    for (const QByteArray &link : {QByteArray("..%2F..%2Fevil%20VARA%20HF%20setup.zip"),
                                  QByteArray("%2E%2E%2FVARA%20HF%20setup.zip"), QByteArray("..%252FVARA%20HF%20setup.zip")}) {
        servePage("<a href=\"" + link + "\">x</a>");
        server.serve("/VARA%20Products/" + QString::fromUtf8(link), zipOf({"VARA setup.exe"}));
        try {
            const QUrl url = runToEnd(hf.findDownloadURL());
            const QString zip = runToEnd(hf.downloadFile(url));
            EXPECT_EQ(QFileInfo(zip).dir().path(), hf.downloadFolder()) << link.constData();
            const QString folder = runToEnd(hf.extractZip(zip));
            EXPECT_EQ(QFileInfo(folder).dir().path(), hf.downloadFolder()) << link.constData();
        } catch (const VARAInstallerError &error) {
            EXPECT_EQ(error.kind(), ErrorKind::unsafeDownloadName) << link.constData();
            ++refused;
        }
        for (const QString &file : filesBelowRoot()) {
            if (!before.contains(file) && !file.startsWith(env.root() + "/zipwork-")) {
                EXPECT_TRUE(file.startsWith(hf.downloadFolder() + "/") || file.startsWith(env.root() + "/logs/"))
                    << file.toStdString();
            }
        }
    }
    EXPECT_EQ(refused, 2);
}

TEST_F(VARAInstallerTest, ABrokenArchiveOrOneWithoutASetupProgramFails)
{
    VARAInstaller &hf = make(VARAVariant::hf);
    QDir().mkpath(hf.downloadFolder());
    QFile bad(hf.downloadFolder() + "/VARA HF setup.zip");
    bad.open(QIODevice::WriteOnly);
    bad.write("not a zip");
    bad.close();
    EXPECT_EQ(errorKindOf([&] { runToEnd(hf.extractZip(bad.fileName())); }), ErrorKind::extractionFailed);

    QFile good(hf.downloadFolder() + "/other.zip");
    good.open(QIODevice::WriteOnly);
    good.write(zipOf({"install.exe", "VARA setup notes.txt"}));
    good.close();
    const QString folder = runToEnd(hf.extractZip(good.fileName()));
    EXPECT_EQ(errorKindOf([&] { hf.findInstallerExe(folder); }), ErrorKind::installerNotFound);
}

// Whatever the downloads server answers, the user reads what was asked and what came back, the
// helper's log says so too, and nothing fetched stays behind.
TEST_F(VARAInstallerTest, EachRemoteFailureSaysWhatWasAskedAndLeavesNothingBehind)
{
    using namespace std::chrono_literals;
    using Fault = test::FixtureHttpServer::Fault;
    const QString page = "/VARA%20Products/";
    const QString zip = "/VARA%20Products/VARA%20HF%204.8.7%20setup.zip";
    test::RemoteFailureTable table(server);
    const QString here = table.here();
    const QString unread = "The VARA downloads page from 127.0.0.1 could not be read: ";
    const std::vector<test::RemoteFailure> cases = {
        {page, Fault::notFound, unread + "the server answered 404 Not Found for the page"},
        {page, Fault::rateLimited,
         unread + "the server answered 403 Forbidden for the page: too many requests for now, try again later"},
        {page, Fault::garbage, "Could not parse the VARA downloads page"},
        {page, Fault::endlessRedirect, unread + "the server answered 404 Not Found for the page"},
        {"", Fault::notFound, unread + "c" + table.refused().mid(1)},
        {zip, Fault::serverError,
         "Could not download VARA HF: the server answered 500 Internal Server Error for the VARA download VARA HF 4.8.7 "
         "setup.zip"},
        {zip, Fault::garbage, "Failed to extract the VARA ZIP archive"},
        {zip, Fault::dropped, "Could not download VARA HF: the answer from " + here + " broke off: "},
        {zip, Fault::redirectLoop, "Could not download VARA HF: too many HTTP redirects, the last from " + here},
    };
    for (const test::RemoteFailure &c : cases) {
        SCOPED_TRACE(table.describe(c));
        servePage(R"(<a href="VARA%20HF%204.8.7%20setup.zip">b</a>)");
        server.serve(zip, zipOf({"VARA HF setup.exe"}));
        VARAInstaller::Collaborators with = collaborators();
        with.downloadsPage = QUrl(table.arrange(c).toString() + page);
        VARAInstaller hf(VARAVariant::hf, with);
        ASSERT_TRUE(hf.startInstall());
        ASSERT_TRUE(test::processEventsUntil([&] { return !hf.isInstalling(); }, 20s));
        const QString shown = hf.state().error;
        EXPECT_EQ(hf.state().kind, VARAInstaller::State::Kind::error);
        table.expectShown(shown, c);
        EXPECT_TRUE(hf.logLines().last().endsWith("] ERROR: " + shown));
        EXPECT_TRUE(env.log().contains("[VARAInstaller] Install failed: " + shown));
        if (c.fault != Fault::garbage) {
            EXPECT_FALSE(hf.logLines().join('\n').contains("Download complete"));
        }
        EXPECT_EQ(QDir(env.platform().paths().privateTemporary())
                      .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
                  QStringList());
        EXPECT_FALSE(QFileInfo::exists(hf.installDir()));
    }

    // With no scratch folder to be had, the install ends failed, and its clean-up asks for none.
    const QString scratch = env.platform().paths().privateTemporary();
    QDir(scratch).removeRecursively();
    ASSERT_TRUE(test::writeFile(scratch, "the user's own file"));
    servePage(R"(<a href="VARA%20HF%204.8.7%20setup.zip">b</a>)");
    VARAInstaller hf(VARAVariant::hf, collaborators());
    ASSERT_TRUE(hf.startInstall());
    ASSERT_TRUE(test::processEventsUntil([&] { return !hf.isInstalling(); }, 20s));
    EXPECT_TRUE(hf.state().error.startsWith("No private folder for the helper's scratch files could be had: "))
        << hf.state().error.toStdString();

    // Nothing is asked for a prefix whose way another user may change.
    const QString data = QFileInfo(places::supportFolder()).path();
    ASSERT_TRUE(test::makeFolderWithMode(data, 0777));
    const auto asked = server.requests().size();
    VARAInstaller refused(VARAVariant::hf, collaborators());
    ASSERT_TRUE(refused.startInstall());
    ASSERT_TRUE(test::processEventsUntil([&] { return !refused.isInstalling(); }, 20s));
    EXPECT_TRUE(refused.state().error.endsWith("the folder " + data + " is writable by others"))
        << refused.state().error.toStdString();
    EXPECT_EQ(server.requests().size(), asked);
}

TEST_F(VARAInstallerTest, UpdateCheckGivesTheVersionOrLogsWhyNot)
{
    VARAInstaller &hf = make(VARAVariant::hf);
    servePage(R"(<a href="VARA%20HF%20v4.8.9%20setup.zip">x</a>)");
    const auto release = runToEnd(hf.checkForUpdate());
    ASSERT_TRUE(release);
    EXPECT_EQ(release->latestVersion, "4.8.9");
    EXPECT_EQ(release->downloadURL, server.url("/VARA%20Products/VARA%20HF%20v4.8.9%20setup.zip"));
    EXPECT_TRUE(hf.logLines().isEmpty());

    servePage(R"(<a href="VARA%20HF%20setup.zip">x</a>)");
    EXPECT_FALSE(runToEnd(hf.checkForUpdate()));
    EXPECT_TRUE(hf.logLines().isEmpty());
    EXPECT_EQ(hf.lastUpdateCheckFailure(), "The VARA download \"VARA HF setup.zip\" names no version");

    servePage("<p>moved</p>");
    EXPECT_FALSE(runToEnd(hf.checkForUpdate()));
    ASSERT_EQ(hf.logLines().size(), 1);
    EXPECT_TRUE(hf.logLines().at(0).endsWith("] Update check failed: No VARA download found on the Pelorin server"));
    EXPECT_EQ(hf.state(), VARAInstaller::State{});
}

TEST_F(VARAInstallerTest, UninstallStopsTheRunningModemRemovesItAndClearsItsRecord)
{
    VARAInstaller &fm = make(VARAVariant::fm);
    QDir().mkpath(fm.installDir());
    QFile exe(fm.exePath());
    exe.open(QIODevice::WriteOnly);
    exe.close();
    VARAFMConfig record = config.varaFMConfig();
    record.winePath = "/usr/bin/wine";
    record.varaPath = fm.exePath();
    record.installedVersion = "4.3.9";
    config.setVaraFMConfig(record);
    EXPECT_EQ(fm.installedVersion(), "v4.3.9");
    services.states[ServiceID::varaFM] = ServiceRunState::running;

    EXPECT_TRUE(runToEnd(fm.uninstall()));
    EXPECT_EQ(services.calls, (QStringList{"prepare vara-fm", "stop vara-fm"}));
    EXPECT_FALSE(QFileInfo::exists(fm.installDir()));
    EXPECT_EQ(config.varaFMConfig().varaPath, "");
    EXPECT_EQ(config.varaFMConfig().installedVersion, "");
    EXPECT_EQ(config.varaFMConfig().winePath, "/usr/bin/wine");
    EXPECT_EQ(fm.installedVersion(), std::nullopt);
    EXPECT_TRUE(fm.logLines().last().endsWith("] VARA FM uninstalled"));
}

TEST_F(VARAInstallerTest, TheModemsFolderIsRemovedWhereTheSystemFindsIt)
{
    // A home named through "lnk/..": the modem is in "real", not beside the link.
    ASSERT_TRUE(QDir().mkpath(env.root() + "/real/inner") && QDir().mkpath(env.root() + "/named"));
    ASSERT_TRUE(QFile::link(env.root() + "/real/inner", env.root() + "/named/lnk"));
    env.platform().setPaths(std::make_shared<RootedPaths>(env.root() + "/named/lnk/.."));
    VARAInstaller &fm = make(VARAVariant::fm);
    ASSERT_TRUE(test::writeFile(fm.exePath(), "exe"));
    const QString named = env.root() + "/named/lnk/..";
    const QString real = env.root() + "/real" + fm.installDir().mid(named.size());
    ASSERT_TRUE(QFileInfo(real).isDir());

    EXPECT_TRUE(runToEnd(fm.uninstall())) << fm.logLines().join('\n').toStdString();
    EXPECT_FALSE(QFileInfo::exists(real));
}

// Whatever keeps the modem's files, or keeps them from being looked at, is reported, and the
// record stays: a removal that did not happen, or could not look, never reads as done. One that
// went part way leaves the rest set aside, which no record names.
TEST_F(VARAInstallerTest, AFailedRemovalIsReportedAndTheRecordKept)
{
    VARAInstaller &hf = make(VARAVariant::hf);
    ASSERT_TRUE(test::writeFile(hf.exePath(), "exe"));
    const QString driveC = QFileInfo(hf.installDir()).path();
    const QString data = QFileInfo(places::supportFolder()).path();
    struct Row {
        const char *name;
        // Sets the row up; nothing when the row can't be had here, else what undoes it.
        std::function<std::optional<std::shared_ptr<void>>()> arrange;
        const char *says;
        // Some of the folder goes, the program among it.
        bool partly = false;
    };
    const auto withMode = [](const QString &folder, mode_t mode) {
        const auto before = QFile::permissions(folder);
        ::chmod(QFile::encodeName(folder).constData(), mode);
        return std::shared_ptr<void>(nullptr, [folder, before](void *) { QFile::setPermissions(folder, before); });
    };
    const Row rows[] = {
        {"a folder that refuses changes",
         [&]() -> std::optional<std::shared_ptr<void>> {
             auto readOnly = std::make_shared<test::ReadOnlyFolder>(hf.installDir());
             return readOnly->active() ? std::optional<std::shared_ptr<void>>(readOnly) : std::nullopt;
         },
         "Could not remove"},
        {"a folder on the way that can't be entered",
         [&]() -> std::optional<std::shared_ptr<void>> {
             auto undo = withMode(driveC, 0);
             // Root enters any folder.
             return ::access(QFile::encodeName(hf.installDir()).constData(), F_OK) != 0 ? std::optional(undo) : std::nullopt;
         },
         "Permission denied"},
        {"a data folder another user may change", [&]() -> std::optional<std::shared_ptr<void>> { return withMode(data, 0777); },
         "is writable by others"},
        {"the modem's folder open to another user",
         [&]() -> std::optional<std::shared_ptr<void>> { return withMode(hf.installDir(), 0777); }, "is writable by others"},
        {"a folder inside that can't be entered, beside what can go",
         [&]() -> std::optional<std::shared_ptr<void>> {
             const QString locked = hf.installDir() + "/locked";
             EXPECT_TRUE(test::writeFile(locked + "/kept", "x"));
             withMode(locked, 0);
             const QString aside = removalAside(hf.installDir()) + "/locked";
             auto undo = std::shared_ptr<void>(nullptr, [aside](void *) { ::chmod(QFile::encodeName(aside).constData(), 0700); });
             return ::access(QFile::encodeName(locked + "/kept").constData(), F_OK) != 0 ? std::optional(undo) : std::nullopt;
         },
         "partly removed, 1 entry gone: ", true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto arranged = row.arrange();
        if (!arranged) {
            continue;
        }
        VARAConfig record = config.varaConfig();
        record.varaPath = hf.exePath();
        record.installedVersion = "4.8.7";
        config.setVaraConfig(record);

        EXPECT_FALSE(runToEnd(hf.uninstall()));
        EXPECT_EQ(config.varaConfig().varaPath, row.partly ? QString() : hf.exePath());
        EXPECT_EQ(config.varaConfig().installedVersion, row.partly ? QString() : QString("4.8.7"));
        EXPECT_EQ(hf.state().kind, VARAInstaller::State::Kind::error);
        EXPECT_TRUE(hf.logLines().last().contains("ERROR: Could not remove")) << hf.logLines().last().toStdString();
        EXPECT_TRUE(hf.logLines().last().contains(row.says)) << hf.logLines().last().toStdString();
        EXPECT_TRUE(row.partly || QFileInfo::exists(hf.exePath()) || ::access(QFile::encodeName(driveC).constData(), X_OK) != 0);
    }
}

} // namespace
} // namespace cordavelle
