#include "startup/service_startup.h"
#include "base/helper_places.h"

#include "support/event_wait.h"
#include "support/helper_objects.h"
#include "support/local_ports.h"
#include "support/test_files.h"
#include "support/wire_client.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTcpServer>

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
    // A download cut short by an earlier run is swept; a finished archive is not.
    const QString scratch = places::privateTemporaryFolder();
    // And one in the folder that earlier versions kept in the shared temporary folder.
    const QString shared = env.platform().paths().temporary();
    ASSERT_TRUE(test::makeFolderWithMode(shared, 01777));
    const QString old = shared + "/cordavelle-helper-" + QString::number(::geteuid());
    ASSERT_TRUE(test::makeFolderWithMode(old, 0700));
    for (const QString &name : {scratch + "/wine-stable.tar.xz.download", scratch + "/hamlib-bottle.tar.gz",
                                old + "/hamlib-bottle.tar.gz.download"}) {
        QFile file(name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
    }
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
    EXPECT_FALSE(QFile::exists(scratch + "/wine-stable.tar.xz.download"));
    EXPECT_TRUE(QFile::exists(scratch + "/hamlib-bottle.tar.gz"));
    EXPECT_FALSE(QFile::exists(old + "/hamlib-bottle.tar.gz.download"));
    EXPECT_TRUE(env.clock().runUntil(
        [&] { return env.log().contains("[ServiceOrchestrator] Always-on start of rigctld failed: rigctld not found"); },
        5s));
    EXPECT_TRUE(failures.isEmpty());

    // Without a handler every request is unknown; a handler set later answers.
    const quint16 port = startup.httpServer().port();
    EXPECT_EQ(test::WireReply::parse(test::exchange(port, "GET /status HTTP/1.1\r\n\r\n")).statusCode, 404);
    startup.setRequestHandler([](HTTPRequest) -> QCoro::Task<HTTPResponse> { co_return HTTPResponse::json({{"ok", true}}); });
    EXPECT_EQ(test::WireReply::parse(test::exchange(port, "GET /status HTTP/1.1\r\n\r\n")).statusCode, 200);
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
