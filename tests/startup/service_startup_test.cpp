#include "startup/service_startup.h"
#include "base/helper_places.h"
#include "platform/files.h"
#include "platform/paths.h"

#include "platform/tree_removal.h"
#include "support/event_wait.h"
#include "support/helper_objects.h"
#include "support/local_ports.h"
#include "support/test_files.h"
#include "support/wire_client.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>

#include <stdexcept>

#include <unistd.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

class ServiceStartupTest : public ::testing::Test, protected test::HelperObjects {
protected:
    ServiceStartupTest()
    {
        // Always-on rigctld with no rigctld anywhere: its start fails into the restart chain.
        RigctldConfig rig;
        rig.lifecycleMode = ServiceLifecycleMode::alwaysOn;
        config.setRigctldConfig(rig);
        config.setApiPort(test::freeTcpPort());
        startup.setFailureReporter([this](int port, const QString &error) { failures << QStringLiteral("%1 %2").arg(QString::number(port), error); });
    }

    ServiceStartup startup{config, orchestrator, pairing, discovery, env.platform()};
    QStringList failures;
};

TEST_F(ServiceStartupTest, LaunchBringsUpTheApiTheServicesAndTheCleanUp)
{
    const QString leftover = places::supportFolder() + QStringLiteral("/hamlib.partial");
    QDir().mkpath(leftover + QStringLiteral("/bin"));
    // A download cut short by an earlier run is swept from every scratch folder, the session's
    // runtime folder's as well as the cache's, and from the one earlier versions kept in the shared
    // temporary folder; a finished archive is not.
    ASSERT_TRUE(test::makeFolderWithMode(env.root() + QStringLiteral("/runtime"), 0700));
    ASSERT_TRUE(test::makeFolderWithMode(env.root() + QStringLiteral("/runtime/cordavelle-helper"), 0700));
    const QStringList scratches{places::privateTemporaryFolder(), env.root() + QStringLiteral("/runtime/cordavelle-helper")};
    ASSERT_TRUE(places::ownScratchFolders().mid(0, 2) == scratches) << places::ownScratchFolders().join(' ').toStdString();
    const auto writeScratchFiles = [&](const QStringList &names, const QDateTime &written) {
        for (const QString &scratch : scratches) {
            for (const QString &name : names) {
                QFile file(scratch + '/' + name);
                ASSERT_TRUE(file.open(QIODevice::WriteOnly));
                ASSERT_TRUE(file.setFileTime(written, QFileDevice::FileModificationTime));
            }
        }
    };
    writeScratchFiles({QStringLiteral("wine-stable.tar.xz.download"), QStringLiteral("hamlib-bottle.tar.gz")},
                      QDateTime::currentDateTime().addSecs(-60));
    const QString shared = env.platform().paths().temporary();
    ASSERT_TRUE(test::makeFolderWithMode(shared, 01777));
    const QString old = shared + "/cordavelle-helper-" + QString::number(::geteuid());
    ASSERT_TRUE(test::makeFolderWithMode(old, 0700));
    {
        QFile file(old + "/hamlib-bottle.tar.gz.download");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    }
    // A removal of the Wine prefix cut short left it set aside, half gone: the launch finishes it.
    const QString prefixLeft = removalAside(places::winePrefix());
    ASSERT_TRUE(QDir().mkpath(prefixLeft + "/drive_c/windows/system32"));
    bool cleaned = false;
    QObject::connect(&startup, &ServiceStartup::cleanupFinished, [&] { cleaned = true; });

    startup.launch();
    EXPECT_TRUE(startup.httpServer().isRunning());
    ASSERT_EQ(env.bonjour().advertisements().size(), 1u);
    EXPECT_EQ(env.bonjour().advertisements()[0].port, config.apiPort());
    EXPECT_EQ(env.notifications().categories.size(), 1);
    EXPECT_NE(startup.notificationDelegate(), nullptr);
    EXPECT_TRUE(orchestrator.idleShutdown().isIdleMonitorRunning());
    EXPECT_TRUE(discovery.isBrowsing());

    ASSERT_TRUE(env.clock().runUntil([&] { return cleaned; }, 5s));
    const QString pid = QString::number(QCoreApplication::applicationPid());
    EXPECT_TRUE(env.commands().journal.contains("/usr/bin/pkill -9 -e -P " + pid + " rigctld"));
    EXPECT_FALSE(QDir(leftover).exists());
    for (const QString &scratch : scratches) {
        EXPECT_FALSE(QFile::exists(scratch + "/wine-stable.tar.xz.download")) << scratch.toStdString();
        EXPECT_TRUE(QFile::exists(scratch + "/hamlib-bottle.tar.gz")) << scratch.toStdString();
    }
    EXPECT_FALSE(QFile::exists(old + "/hamlib-bottle.tar.gz.download"));
    EXPECT_FALSE(QFileInfo::exists(prefixLeft));
    EXPECT_TRUE(env.log().contains("Finished the removal of " + prefixLeft + " that an earlier run began"));
    EXPECT_TRUE(env.clock().runUntil(
        [&] { return env.log().contains("[ServiceOrchestrator] Always-on start of rigctld failed: rigctld not found"); },
        5s));
    EXPECT_TRUE(failures.isEmpty());

    // Without a handler every request is unknown; a handler set later answers.
    const quint16 port = startup.httpServer().port();
    EXPECT_EQ(test::WireReply::parse(test::exchange(port, "GET /status HTTP/1.1\r\n\r\n")).statusCode, 404);
    startup.setRequestHandler([](HTTPRequest) -> QCoro::Task<HTTPResponse> { co_return HTTPResponse::json({{"ok", true}}); });
    EXPECT_EQ(test::WireReply::parse(test::exchange(port, "GET /status HTTP/1.1\r\n\r\n")).statusCode, 200);

    // The quit ends every download under way, and sweeps what they wrote.
    writeScratchFiles({QStringLiteral("hamlib-bottle.tar.gz.download")}, QDateTime::currentDateTime());
    bool exited = false;
    QObject::connect(&startup, &ServiceStartup::aboutToExit, [&] { exited = true; });
    startup.requestQuit();
    ASSERT_TRUE(env.clock().runUntil([&] { return exited; }, 60s));
    for (const QString &scratch : scratches) {
        EXPECT_FALSE(QFile::exists(scratch + "/hamlib-bottle.tar.gz.download")) << scratch.toStdString();
        EXPECT_TRUE(QFile::exists(scratch + "/hamlib-bottle.tar.gz")) << scratch.toStdString();
    }
}

// What an earlier version installed group-writable is the helper's own: the launch takes that
// write away once, before any start or look-up meets it, and says how much it changed.
TEST_F(ServiceStartupTest, TheLaunchTightensTheHelpersOwnFilesOnce)
{
    const QString rigctld = places::ownRigctld();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(rigctld).path()));
    QFile file(rigctld);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ASSERT_TRUE(file.setPermissions(QFileDevice::Permissions(0x7777)));
    startup.startServices();
    EXPECT_EQ(QFileInfo(rigctld).permissions(), QFileDevice::Permissions(0x7755));
    EXPECT_TRUE(env.log().contains(
        "Took write for the group and others from 1 of the helper's own files and folders in its support folder"));
}

// The test's folders, but a look for the scratch folders that fails: the user's cache folder can't
// be told.
class CachelessPaths final : public Paths {
public:
    explicit CachelessPaths(const QString &root) : m_paths(root) {}
    QString applicationSupport() const override { return m_paths.applicationSupport(); }
    QString preferences() const override { return m_paths.preferences(); }
    QString home() const override { return m_paths.home(); }
    QString temporary() const override { return m_paths.temporary(); }
    QString cache() const override { throw std::runtime_error("no cache folder"); }
    QString runtime() const override { return m_paths.runtime(); }

private:
    RootedPaths m_paths;
};

// What one step of the launch's clean-up or of the quit can't do stops none of the steps after
// it, and the quit still ends the program.
TEST(ServiceStartupSteps, AStepThatFailsStopsNeitherTheCleanUpNorTheQuit)
{
    struct Case {
        const char *cause;
        std::function<void(test::TestPlatform &)> arrange;
        // The failure as the log tells it; none where no step fails.
        QString logged;
        // Whether the sweep of stale rigctld processes still looked for them.
        bool swept;
    };
    const Case cases[] = {
        {"the scratch folders can't be looked for",
         [](test::TestPlatform &env) { env.platform().setPaths(std::make_shared<CachelessPaths>(env.root())); },
         QStringLiteral("The sweep of partial downloads failed: no cache folder"), true},
        {"the sweep of stale rigctld processes fails",
         [](test::TestPlatform &env) {
             env.commands().respond("pkill", [](const Command &) -> CommandResult { throw std::runtime_error("pkill broke"); });
         },
         QStringLiteral("The sweep of stale processes failed: pkill broke"), false},
        // The cache's scratch folder is a file, and the session names no runtime folder.
        {"no scratch folder can be had",
         [](test::TestPlatform &env) {
             ASSERT_TRUE(test::writeFile(env.platform().paths().cache() + QStringLiteral("/cordavelle-helper"), "taken"));
             ASSERT_THROW(places::privateTemporaryFolder(), FileError);
         },
         QString(), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.cause);
        test::HelperObjects objects;
        objects.config.setApiPort(test::freeTcpPort());
        ServiceStartup startup{objects.config, objects.orchestrator, objects.pairing, objects.discovery,
                               objects.env.platform()};
        test::TestPlatform &env = objects.env;
        const QString leftover = places::supportFolder() + QStringLiteral("/hamlib.partial");
        ASSERT_TRUE(QDir().mkpath(leftover));
        c.arrange(env);
        bool cleaned = false;
        bool exited = false;
        QObject::connect(&startup, &ServiceStartup::cleanupFinished, [&] { cleaned = true; });
        QObject::connect(&startup, &ServiceStartup::aboutToExit, [&] { exited = true; });

        startup.launch();
        ASSERT_TRUE(env.clock().runUntil([&] { return cleaned; }, 5s));
        EXPECT_FALSE(QDir(leftover).exists()) << "the last step, the sweep of unfinished installs, ran";
        EXPECT_EQ(env.commands().journal.contains("/usr/bin/pkill -9 -e -x -U " + QString::number(::geteuid()) + " rigctld"),
                  c.swept);
        if (!c.logged.isEmpty()) {
            EXPECT_TRUE(env.log().contains(c.logged)) << env.log().messages().join('\n').toStdString();
        }

        startup.requestQuit();
        EXPECT_TRUE(env.clock().runUntil([&] { return exited; }, 60s)) << env.log().messages().join('\n').toStdString();
    }
}

TEST_F(ServiceStartupTest, APortInUseIsReportedAndNothingIsAdvertised)
{
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::Any, 0));
    config.setApiPort(holder.serverPort());
    startup.startServices();
    EXPECT_TRUE(test::processEventsUntil([&] { return !failures.isEmpty(); }));
    EXPECT_EQ(failures.size(), 1);
    EXPECT_TRUE(failures.value(0).startsWith(QString::number(holder.serverPort()) + ' '));
    EXPECT_TRUE(env.log().contains(QStringLiteral("Failed to start HTTP server on port %1: ").arg(holder.serverPort())));
    EXPECT_TRUE(env.bonjour().advertisements().empty());
    // The rest of the start-up goes on without the API.
    EXPECT_TRUE(orchestrator.idleShutdown().isIdleMonitorRunning());
}

} // namespace
} // namespace cordavelle
