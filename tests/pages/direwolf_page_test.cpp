#include "pages/direwolf_page_fixture.h"

#include "base/helper_places.h"
#include "core/managed_process.h"
#include "platform/tree_removal.h"
#include "support/event_wait.h"
#include "support/listening_stand_in.h"
#include "support/local_ports.h"
#include "support/task_outcome.h"
#include "support/test_files.h"

#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QTcpServer>

#include <algorithm>
#include <memory>
#include <tuple>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

void settlePage()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

QPushButton *button(QWidget *area, const QString &text)
{
    for (QPushButton *b : area->findChildren<QPushButton *>()) {
        if (b->text() == text && !b->isHidden()) {
            return b;
        }
    }
    return nullptr;
}

QString installationTitle(QWidget *page)
{
    auto *title = page->findChild<QLabel *>(QStringLiteral("installationTitle"));
    return title ? title->text() : QString();
}

TEST(DirewolfPage, BannersActAndHideWhenTheirConditionsFail)
{
    test::DirewolfPageScene scene;
    // The client's server listens: an advert with nothing behind it is shown as no usable server.
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    scene.advertise(QStringLiteral("IC-7300"), server.serverPort());
    DirewolfConfig config;
    config.pttMethod = DirewolfPTTMethod::rigctld();
    scene.config.setDirewolfConfig(config);
    // The old helper-built copy, and a newer system Direwolf next to it.
    ASSERT_TRUE(test::writeProgram(places::legacyDirewolfBinary()));
    ASSERT_TRUE(test::writeProgram(scene.env.hostPath(QStringLiteral("/usr/bin/direwolf"))));

    auto page = scene.makePage();
    settlePage();
    QWidget *banners = page->bannerArea();
    ASSERT_NE(button(banners, QStringLiteral("Switch to CAT via Cordavelle")), nullptr);
    ASSERT_NE(button(banners, QStringLiteral("Remove Legacy Install")), nullptr);
    EXPECT_EQ(installationTitle(page.get()), QStringLiteral("Direwolf installed (system package)"))
        << "the newer copy is the one that runs";

    button(banners, QStringLiteral("Switch to CAT via Cordavelle"))->click();
    settlePage();
    EXPECT_EQ(scene.config.direwolfConfig().pttMethod, DirewolfPTTMethod::nativeCorvexa());
    EXPECT_TRUE(scene.env.defaults().boolForKey(DirewolfPage::kDismissedNudgeKey));
    EXPECT_EQ(button(banners, QStringLiteral("Switch to CAT via Cordavelle")), nullptr);
    auto *radio = page->radioDetails()->findChild<QComboBox *>();
    ASSERT_NE(radio, nullptr);
    EXPECT_EQ(radio->itemText(1), QStringLiteral("IC-7300 (127.0.0.1:%1)").arg(server.serverPort()));
    // While the Bonjour daemon is gone, the radios it listed last stay, said to be so.
    const auto saysStale = [&] {
        const auto labels = page->radioDetails()->findChildren<QLabel *>();
        return std::any_of(labels.begin(), labels.end(),
                           [](QLabel *label) { return label->text().startsWith(QStringLiteral("Bonjour can't be asked now")); });
    };
    EXPECT_FALSE(saysStale());
    scene.env.bonjour().stopDaemon();
    settlePage();
    EXPECT_TRUE(saysStale());
    EXPECT_EQ(page->radioDetails()->findChild<QComboBox *>()->itemText(1), QStringLiteral("IC-7300 (127.0.0.1:%1)").arg(server.serverPort()));
    scene.env.bonjour().startDaemon();
    settlePage();
    EXPECT_FALSE(saysStale());

    // A custom path into the old folder means it is in use: the removal is not offered.
    scene.binariesInUse = {places::legacyDirewolfBinary()};
    DirewolfConfig custom = scene.config.direwolfConfig();
    custom.direwolfPath = places::legacyDirewolfBinary();
    scene.config.setDirewolfConfig(custom);
    settlePage();
    EXPECT_EQ(button(banners, QStringLiteral("Remove Legacy Install")), nullptr);
    EXPECT_TRUE(banners->isHidden());

    scene.binariesInUse.clear();
    custom.direwolfPath.clear();
    scene.config.setDirewolfConfig(custom);
    settlePage();
    scene.alerts.answers = {1};
    button(banners, QStringLiteral("Remove Legacy Install"))->click();
    EXPECT_TRUE(QFile::exists(places::legacyDirewolfBinary())) << "cancelled";
    button(banners, QStringLiteral("Remove Legacy Install"))->click();
    // Off the page's thread: under way, then gone, also what was set aside to be removed.
    EXPECT_TRUE(test::processEventsUntil([] {
        const QString folder = places::legacyDirewolfFolder();
        return !QFile::exists(places::legacyDirewolfBinary()) && !QFileInfo::exists(folder) &&
               !QFileInfo::exists(removalAside(folder));
    }));
    settlePage();
    EXPECT_EQ(button(banners, QStringLiteral("Remove Legacy Install")), nullptr);
}

TEST(DirewolfPage, InstallationNamesTheBinaryAndOffersTheCommandThatFitsIt)
{
    test::DirewolfPageScene scene;
    auto page = scene.makePage();
    settlePage();
    QWidget *install = page->installationArea();
    ASSERT_NE(button(install, QStringLiteral("Install Homebrew")), nullptr);
    button(install, QStringLiteral("Install Homebrew"))->click();
    EXPECT_EQ(scene.terminalCommands(), QStringList{DirewolfDiscovery::kHomebrewInstallCommand});

    // Installed meanwhile in a terminal: coming back looks again.
    ASSERT_TRUE(test::writeProgram(scene.env.hostPath(QStringLiteral("/usr/bin/apt-get"))));
    ASSERT_TRUE(test::writeProgram(scene.env.hostPath(QStringLiteral("/usr/bin/direwolf"))));
    page->rediscover();
    settlePage();
    EXPECT_EQ(installationTitle(page.get()), QStringLiteral("Direwolf installed (system package)"));
    button(install, QStringLiteral("Check for Update"))->click();
    EXPECT_EQ(scene.terminalCommands().last(), QStringLiteral("sudo apt-get install --only-upgrade -y direwolf"));

    // A script whose program is named from the folder Direwolf runs in, the support folder's.
    scene.pickedBinary = scene.env.root() + QStringLiteral("/dw/direwolf");
    ASSERT_TRUE(test::writeProgram(scene.pickedBinary, "#!bin/x\n"));
    ASSERT_TRUE(test::writeProgram(places::direwolfRunFolder() + QStringLiteral("/bin/x")));
    button(install, QStringLiteral("Choose Custom…"))->click();
    settlePage();
    EXPECT_EQ(scene.pickerFolders.last(), scene.env.hostPath(QStringLiteral("/usr/bin")));
    EXPECT_TRUE(scene.alerts.shown.empty());
    EXPECT_EQ(scene.config.direwolfConfig().direwolfPath, scene.pickedBinary);
    EXPECT_EQ(installationTitle(page.get()), QStringLiteral("Direwolf — custom path"));
    EXPECT_EQ(button(install, QStringLiteral("Check for Update")), nullptr);
    button(install, QStringLiteral("Reset to Auto"))->click();
    settlePage();
    EXPECT_EQ(scene.config.direwolfConfig().direwolfPath, QString());

    // Typing keeps the callsign upper case.
    test::typeInto(page->callsignField(), QStringLiteral("k1 ab"));
    EXPECT_EQ(scene.config.direwolfConfig().callsign, QStringLiteral("K1 AB"));
}

// The page shown, Direwolf (with a callsign) the stand-in `script`.
std::unique_ptr<DirewolfPage> showWithStandIn(test::DirewolfPageScene &scene, const QByteArray &script)
{
    DirewolfConfig settings = scene.config.direwolfConfig();
    settings.callsign = QStringLiteral("N0CALL");
    settings.direwolfPath = scene.env.root() + QStringLiteral("/direwolf");
    EXPECT_TRUE(test::writeProgram(settings.direwolfPath, script));
    scene.config.setDirewolfConfig(settings);
    auto page = scene.makePage();
    page->show();
    settlePage();
    return page;
}

void startDirewolf(test::DirewolfPageScene &scene)
{
    auto started = test::track(scene.orchestrator.startService(ServiceID::direwolf));
    EXPECT_TRUE(scene.env.clock().runUntil([&] { return started->done; }, 60s));
}

TEST(DirewolfPage, RestartNoticeShowsOnlyWhileDirewolfRunsWithOlderSettings)
{
    test::DirewolfPageScene scene;
    const QString ready = scene.env.root() + QStringLiteral("/listening");
    auto page = showWithStandIn(scene, test::listeningStandIn(ready));
    DirewolfConfig settings = scene.config.direwolfConfig();
    std::tie(settings.kissPort, settings.agwPort) = test::twoFreeTcpPorts();
    scene.config.setDirewolfConfig(settings);
    ManagedProcess &process = scene.orchestrator.direwolfProcess();
    auto started = test::track(scene.orchestrator.startService(ServiceID::direwolf));
    ASSERT_TRUE(scene.env.clock().runUntil([&] { return process.pid() || started->done; }, 60s));
    {
        // The stand-in's start takes real time, which the port wait would otherwise outrun.
        const auto hold = scene.env.clock().hold();
        ASSERT_TRUE(scene.env.clock().runUntil([&] { return QFile::exists(ready) || started->done; }, 0ms, 20s));
    }
    ASSERT_TRUE(scene.env.clock().runUntil([&] { return started->done; }, 60s));
    ASSERT_EQ(process.state(), ServiceRunState::running) << process.lastError().value_or("").toStdString();
    settlePage();
    EXPECT_TRUE(page->restartNotice()->isHidden()) << "unchanged since the start";
    EXPECT_TRUE(page->pendingPorts()->isHidden());
    const int kiss = settings.kissPort;
    settings.kissPort = test::freeTcpPort();
    scene.config.setDirewolfConfig(settings);
    settlePage();
    EXPECT_FALSE(page->restartNotice()->isHidden());
    EXPECT_EQ(page->pendingPorts()->text(), QStringLiteral("Direwolf listens on KISS port %1 until it restarts; KISS port %2 "
                                                           "takes effect when Direwolf next starts.")
                                                .arg(kiss)
                                                .arg(settings.kissPort));
    scene.orchestrator.stopService(ServiceID::direwolf);
    settlePage();
    EXPECT_TRUE(page->restartNotice()->isHidden());
    ASSERT_TRUE(scene.env.clock().runUntil([&] { return process.state() == ServiceRunState::stopped; }, 10s));
    settlePage();
    EXPECT_TRUE(page->pendingPorts()->isHidden());
}

TEST(DirewolfPage, RowsStayPutWhenDirewolfDiesDuringItsStart)
{
    // Rows made again on a state change leave the page laid out around half-made rows, which
    // showed as a squashed Radio section right after a failed start.
    test::DirewolfPageScene scene;
    auto page = showWithStandIn(scene, "#!/bin/sh\necho 'Could not open audio device'\nexit 1\n");
    const auto rows = [&] {
        QList<QWidget *> made = page->radioDetails()->findChildren<QWidget *>();
        made += page->installationArea()->findChildren<QWidget *>();
        return made;
    };
    const QList<QWidget *> before = rows();
    ASSERT_FALSE(before.isEmpty());
    startDirewolf(scene);
    // The manual clock can end the start's wait before the child's exit has been read; the exit
    // comes in real time.
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return scene.orchestrator.direwolfProcess().state() == ServiceRunState::error; }, 10s));
    settlePage();
    EXPECT_EQ(rows(), before);
}

} // namespace
} // namespace cordavelle
