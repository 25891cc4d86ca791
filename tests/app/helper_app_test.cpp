#include "api/api_router.h"
#include "app/helper_app.h"
#include "app/management_window.h"
#include "app/sidebar.h"
#include "app/widget_attention.h"
#include "setup/wizard/helper_setup_wizard_view.h"
#include "base/helper_places.h"
#include "core/config_store.h"
#include "core/orchestrator_service_control.h"
#include "core/wine_prefix_hold.h"
#include "platform/user_defaults.h"

#include "support/app_objects.h"
#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/fixed_port_lock.h"
#include "support/local_ports.h"
#include "support/needs_root.h"
#include "support/task_outcome.h"
#include "support/test_files.h"
#include "support/wire_client.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScopeGuard>
#include <QFileInfo>
#include <QKeyEvent>
#include <QSystemTrayIcon>

#include <sys/stat.h>
#include <QTcpServer>

#include <gtest/gtest.h>

#include <future>

#include <unistd.h>

using namespace std::chrono_literals;

namespace cordavelle {
namespace {

TEST(AppDecisions, ActivationShowsTheWindowOnlyWithoutAVisibleTitledNormalWindowAndNeverForAPopup)
{
    const WindowFacts shown{true, false, true, true};
    EXPECT_FALSE(showsManagementOnActivation({shown}, false));
    EXPECT_TRUE(showsManagementOnActivation({}, false));
    EXPECT_TRUE(showsManagementOnActivation({{true, true, true, true}}, false));   // minimised
    EXPECT_TRUE(showsManagementOnActivation({{true, false, false, true}}, false)); // floating level
    EXPECT_TRUE(showsManagementOnActivation({{true, false, true, false}}, false)); // untitled
    EXPECT_TRUE(showsManagementOnActivation({{false, false, true, true}}, false));
    // The tray menu popping up makes the program active: that must not raise the window.
    EXPECT_FALSE(showsManagementOnActivation({}, true));
}

TEST(AppDecisions, QuitAsksOnlyWhileVaraHFOrRigctldRuns)
{
    using S = ServiceRunState;
    EXPECT_FALSE(quitNeedsConfirmation(S::stopped, S::starting));
    EXPECT_FALSE(quitNeedsConfirmation(S::error, S::stopping));
    EXPECT_TRUE(quitNeedsConfirmation(S::running, S::stopped));
    EXPECT_TRUE(quitNeedsConfirmation(S::stopped, S::running));
}

TEST(AppDecisions, AppearanceFallsBackToTheWindowWhenThereIsNoTray)
{
    using M = AppAppearanceMode;
    EXPECT_EQ(appearancePlan(M::dock, true), (AppearancePlan{false, true, false}));
    EXPECT_EQ(appearancePlan(M::menuBar, true), (AppearancePlan{true, false, false}));
    EXPECT_EQ(appearancePlan(M::both, true), (AppearancePlan{true, true, false}));
    EXPECT_EQ(appearancePlan(M::menuBar, false), (AppearancePlan{false, true, true}));
    EXPECT_EQ(appearancePlan(M::both, false), (AppearancePlan{false, true, true}));
}

class HelperAppTest : public ::testing::Test, protected test::AppObjects {
protected:
    HelperAppTest()
        : test::AppObjects({.hamlib = [this]() -> QCoro::Task<std::optional<DependencyVersions>> {
                               browsingAtUpdateCheck = discovery.isBrowsing();
                               co_return DependencyVersions{"4.6", "4.5"};
                           }})
    {
        // Real children end in real time: stops and their waits run on the real clock.
        env.useSystemClock();
        config.setApiPort(test::freeTcpPort());
        startPaths[ServiceID::varaHF] = [this](ServiceID id, std::stop_token cancel) {
            return launchSleeper(orchestrator.process(id), cancel);
        };
        children.watch(orchestrator.varaProcess());
    }

    ~HelperAppTest() override
    {
        children.killAll();
        app.reset();
        test::ManualClock::processEvents();
    }

    static QCoro::Task<void> launchSleeper(ManagedProcess &process, std::stop_token cancel)
    {
        const QStringList arguments{"-c", "exec sleep 600"};
        co_await process.start("/bin/sh", arguments, std::nullopt, std::nullopt, cancel);
        process.markRunning();
    }

    void runVaraHF()
    {
        varaPorts.emplace();
        ASSERT_TRUE(varaPorts->held());
        // Waits for the start's end, whichever it is: under the sanitizers on a busy machine the
        // start once took over 5 s. The limit only bounds a start that never ends.
        const auto started = test::track(orchestrator.startService(ServiceID::varaHF));
        ASSERT_TRUE(test::processEventsUntil([&] { return started->done; }, 60s));
        ASSERT_EQ(orchestrator.varaProcess().state(), ServiceRunState::running)
            << orchestrator.varaProcess().lastError().value_or(QString()).toStdString();
    }

    QAction *command(const QString &name) { return app->managementWindow().findChild<QAction *>(name); }

    test::ChildProcessGroups children;
    std::optional<test::VaraPortsLock> varaPorts;
    // Whether the rig-control browsing had begun when the update check ran.
    std::optional<bool> browsingAtUpdateCheck;
};

TEST_F(HelperAppTest, TheWindowCarriesTheProgramsCommands)
{
    ManagementWindow &window = app->managementWindow();
    EXPECT_EQ(window.objectName(), "management");
    EXPECT_EQ(window.size(), QSize(800, 550));
    EXPECT_EQ(command("settings")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Comma));
    EXPECT_EQ(command("quit")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));

    command("about")->trigger();
    command("about")->trigger();
    int abouts = 0;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        abouts += w->objectName() == "about" && w->isVisible();
    }
    EXPECT_EQ(abouts, 1);

    test::runToEnd(pairing.requestPairing("c1", "host", "linux", "127.0.0.1"));
    ASSERT_EQ(pairing.clients().size(), 1u);
    // The request flashed the application's open windows.
    const auto *attention = dynamic_cast<const WidgetAttention *>(&pairing.attention());
    ASSERT_NE(attention, nullptr);
    EXPECT_GE(attention->lastAlertedWindows(), 1);
    command("clearPairing")->trigger();
    EXPECT_TRUE(pairing.clients().empty());
    EXPECT_TRUE(alerts.shown.empty());

    // Without a tray the window stands in for it, with a taskbar entry.
    config.setAppearanceMode(AppAppearanceMode::menuBar);
    EXPECT_FALSE(app->trayIcon().isVisible());
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.hasTaskbarPresence());
    EXPECT_EQ(config.appearanceMode(), AppAppearanceMode::menuBar);
    EXPECT_TRUE(env.log().contains("No system tray is available"));
}

TEST_F(HelperAppTest, ACommandNoTerminalCouldRunIsShownWithACopyButton)
{
    env.terminal().result = false;
    setupObjects.direwolfDiscovery.runInTerminal("sudo apt-get install -y direwolf");
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "No Terminal Could Be Opened");
    EXPECT_TRUE(alerts.shown[0].informativeText.contains("\n\nsudo apt-get install -y direwolf\n\n"));
    EXPECT_EQ(alerts.shown[0].buttons.first(), "Copy Command");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "sudo apt-get install -y direwolf");

    // Closed without copying, the clipboard keeps what it had.
    alerts.answers = {1};
    setupObjects.direwolfDiscovery.runInTerminal("brew install direwolf");
    EXPECT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "sudo apt-get install -y direwolf");
}

TEST_F(HelperAppTest, QuittingWhileVaraHFRunsAsksAndCancelKeepsEverything)
{
    runVaraHF();
    alerts.answers = {1};
    command("quit")->trigger();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "Quit Cordavelle Helper?");
    EXPECT_FALSE(app->delegate().isTerminating());
    EXPECT_EQ(orchestrator.varaProcess().state(), ServiceRunState::running);

    // A last-seen time still waiting to be written.
    test::runToEnd(pairing.requestPairing("c1", "host", "linux", "127.0.0.1"));
    pairing.approve("c1");
    const auto paired = pairing.clients().front().lastSeen;
    env.clock().advance(5s);
    pairing.updateLastSeen("c1");
    bool exited = false;
    QObject::connect(&app->delegate().startup(), &ServiceStartup::aboutToExit, [&] { exited = true; });
    command("quit")->trigger();
    // The program ends only once the service has stopped.
    ASSERT_TRUE(test::processEventsUntil([&] { return exited; }, 10s));
    EXPECT_EQ(orchestrator.varaProcess().state(), ServiceRunState::stopped);
    EXPECT_TRUE(children.allEnded());
    EXPECT_EQ(alerts.shown.size(), 2u);
    PairingManager reloaded(env.defaults(), env.clock(), env.keychain(), env.attention());
    ASSERT_EQ(reloaded.clients().size(), 1u);
    EXPECT_GT(reloaded.clients().front().lastSeen, paired);
}

// A start that threw leaves VARA stopped; the tray icon reads the failure as the menu row, the
// sidebar and the page header do, and is drawn again for it.
TEST_F(HelperAppTest, TheTrayIconTurnsRedForAStartThatThrew)
{
    ASSERT_EQ(app->trayColor(), TrayColor::primary);
    const qint64 drawn = app->trayIcon().icon().cacheKey();
    orchestrator.process(ServiceID::varaHF).setStartError(QStringLiteral("VARA HF not installed"));
    EXPECT_EQ(app->trayColor(), TrayColor::red);
    EXPECT_TRUE(test::processEventsUntil([&] { return app->trayIcon().icon().cacheKey() != drawn; }));
}

TEST_F(HelperAppTest, StartUpFinishesBeforeItsAlertsAndOpenSettingsOpensTheSettingsWindow)
{
    // No child runs here, and the window's delay is measured on virtual time: real time may run
    // past it while the alerts are awaited.
    env.useManualClock();
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::Any, 0));
    config.setApiPort(holder.serverPort());
    microphone.refuses = true;
    bool startUpDone = true;
    alerts.onPresent = [&](const Alert &) {
        startUpDone = startUpDone && orchestrator.idleShutdown().isIdleMonitorRunning() && discovery.isBrowsing();
    };
    alerts.answers = {1, 0};
    app->delegate().applicationDidFinishLaunching();
    // The window comes 0.1 s after the launch, with the wizard's sheet over it, and the alerts
    // after both, to open above them.
    EXPECT_TRUE(setup.showWizard());
    env.clock().advance(99ms);
    QApplication::processEvents();
    EXPECT_FALSE(app->managementWindow().isVisible());
    EXPECT_TRUE(alerts.shown.empty());
    alerts.onPresent = [&](const Alert &) {
        startUpDone = startUpDone && orchestrator.idleShutdown().isIdleMonitorRunning() && discovery.isBrowsing() &&
                      app->managementWindow().wizard() && app->managementWindow().wizard()->isVisible();
    };
    env.clock().advance(1ms);
    ASSERT_TRUE(test::processEventsUntil([&] { return alerts.shown.size() == 2; }));
    EXPECT_TRUE(startUpDone);
    EXPECT_EQ(browsingAtUpdateCheck, true);
    const Sidebar &sidebar = *app->managementWindow().findChild<Sidebar *>();
    EXPECT_TRUE(test::processEventsUntil([&] {
        return sidebar.row(SidebarSection::setup)->badgeTooltip == "Update available: Hamlib 4.5 \u2192 4.6";
    }));
    EXPECT_EQ(alerts.shown[0].message, "Microphone Access Required");
    EXPECT_EQ(alerts.shown[1].message, "API Server Failed to Start");
    EXPECT_TRUE(alerts.shown[1].informativeText.startsWith(
        QStringLiteral("Cordavelle Helper could not bind to port %1.").arg(holder.serverPort())));
    // "Open Settings" works although the settings window was never shown.
    ASSERT_NE(app->settingsWindow(), nullptr);
    EXPECT_TRUE(app->settingsWindow()->isVisible());
    app->delegate().showHTTPServerFailureAlert(1, "again");
    EXPECT_EQ(alerts.shown.size(), 2u);

    ASSERT_NE(app->managementWindow().wizard(), nullptr);
    // Escape does not leave the wizard; walking it to the end and pressing Done does.
    auto *wizard = app->managementWindow().findChild<HelperSetupWizardView *>();
    ASSERT_NE(wizard, nullptr);
    wizard->reject();
    EXPECT_TRUE(setup.showWizard());
    while (wizard->continueButton()->isVisible()) {
        wizard->continueButton()->click();
    }
    EXPECT_EQ(wizard->currentStep(), wizardPage::complete);
    wizard->doneButton()->click();
    EXPECT_FALSE(setup.showWizard());
    EXPECT_TRUE(env.defaults().boolForKey("hasCompletedHelperSetup"));
    EXPECT_TRUE(test::processEventsUntil([&] { return app->managementWindow().wizard() == nullptr; }));
}

TEST_F(HelperAppTest, ResetAllStopsFirstThenWipesThenQuitsWithoutAskingAgainAndRelaunchesLast)
{
    runVaraHF();
    QDir().mkpath(places::winePrefix() + "/drive_c");
    test::runToEnd(pairing.requestPairing("c1", "host", "linux", "127.0.0.1"));
    env.defaults().setObject("hasCompletedHelperSetup", true);
    // An earlier bundle's preferences, which the relaunched helper must not import again.
    const QString prior = env.platform().preferencesFile(ConfigStore::kPriorBundleIdentifier);
    ASSERT_TRUE(writePropertyListFile(prior, {{"apiPort", qlonglong(7000)}}));

    QStringList seenAtRelaunch;
    int relaunches = 0;
    relaunch = [&] {
        ++relaunches;
        seenAtRelaunch << (orchestrator.varaProcess().state() == ServiceRunState::stopped ? "stopped" : "running")
                       << (QDir(places::winePrefix()).exists() ? "prefix" : "no prefix")
                       << (env.defaults().dictionary().isEmpty() ? "no settings" : "settings")
                       << (pairing.clients().empty() ? "no clients" : "clients")
                       << (QFileInfo::exists(prior) ? "prior" : "no prior");
    };
    alerts.answers = {1};
    command("resetAll")->trigger();
    EXPECT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(orchestrator.varaProcess().state(), ServiceRunState::running);
    EXPECT_TRUE(QDir(places::winePrefix()).exists());

    alerts.answers = {0};
    bool wipedWhileRunning = false;
    QObject::connect(&pairing, &PairingManager::clientsChanged, [&] {
        wipedWhileRunning = wipedWhileRunning || !children.allEnded();
    });
    command("resetAll")->trigger();
    ASSERT_TRUE(test::processEventsUntil([&] { return relaunches > 0; }, 10s));
    EXPECT_FALSE(wipedWhileRunning);
    EXPECT_EQ(seenAtRelaunch, (QStringList{"stopped", "no prefix", "no settings", "no clients", "no prior"}));
    EXPECT_EQ(ConfigStore(env.defaults(), env.platform()).apiPort(), ConfigStore::kDefaultApiPort);
    // Only the reset was asked for, although VARA HF was running.
    EXPECT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(relaunches, 1);
}

TEST_F(HelperAppTest, ResetAllThatCannotWriteTheSettingsStillLetsNoPairedClientIn)
{
    SKIP_AS_ROOT("root writes into a read-only folder");
    const QString token = test::runToEnd(pairing.requestPairing("c1", "host", "linux", "")).client->token;
    ASSERT_EQ(pairing.approve("c1"), std::nullopt);
    const QString folder = env.platform().paths().preferences();
    ASSERT_TRUE(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    const auto writable = qScopeGuard([&] {
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    std::optional<bool> tokenOpensTheAPI;
    relaunch = [&] { tokenOpensTheAPI = pairing.validateToken(token).has_value(); };

    alerts.answers = {0};
    command("resetAll")->trigger();
    ASSERT_TRUE(test::processEventsUntil([&] { return tokenOpensTheAPI.has_value(); }, 10s));
    EXPECT_FALSE(*tokenOpensTheAPI);
}

TEST_F(HelperAppTest, ResetAllThatKeepsThePrefixSaysSoNamingTheFolderBeforeItRestarts)
{
    ASSERT_TRUE(QDir().mkpath(places::winePrefix() + "/drive_c"));
    env.defaults().setObject("hasCompletedHelperSetup", true);
    const QString data = QFileInfo(places::supportFolder()).path();
    const auto dataMode = QFile::permissions(data);
    ASSERT_EQ(::chmod(QFile::encodeName(data).constData(), 0777), 0);
    const auto restore = qScopeGuard([&] { QFile::setPermissions(data, dataMode); });
    std::optional<std::size_t> alertsAtRelaunch;
    relaunch = [&] { alertsAtRelaunch = alerts.shown.size(); };

    alerts.answers = {0, 0};
    command("resetAll")->trigger();
    ASSERT_TRUE(test::processEventsUntil([&] { return alertsAtRelaunch.has_value(); }, 10s));
    EXPECT_EQ(*alertsAtRelaunch, 2u);
    EXPECT_EQ(alerts.shown.back().message, "The Wine Prefix Was Not Removed");
    EXPECT_TRUE(alerts.shown.back().informativeText.contains(data + " is writable by others"))
        << alerts.shown.back().informativeText.toStdString();
    EXPECT_TRUE(QDir(places::winePrefix() + "/drive_c").exists());
    EXPECT_TRUE(env.defaults().dictionary().isEmpty());
}

TEST_F(HelperAppTest, ResetAllThatRemovedThePrefixSaysItsFailuresAsWarningsNotAsAPrefixKept)
{
    ASSERT_TRUE(test::writeFile(places::winePrefix() + "/drive_c/VARA/VARA.exe", "MZ"));
    // A Wine server found but not startable: the prefix goes all the same.
    ASSERT_TRUE(test::writeProgram(env.hostPath("/usr/local/bin/wineserver")));
    env.commands().respond("wineserver", CommandResult::failedToStart("Exec format error"));
    std::optional<std::size_t> alertsAtRelaunch;
    relaunch = [&] { alertsAtRelaunch = alerts.shown.size(); };

    alerts.answers = {0, 0};
    command("resetAll")->trigger();
    ASSERT_TRUE(test::processEventsUntil([&] { return alertsAtRelaunch.has_value(); }, 10s));
    EXPECT_FALSE(QFileInfo::exists(places::winePrefix()));
    EXPECT_EQ(*alertsAtRelaunch, 2u);
    EXPECT_EQ(alerts.shown.back().message, "The Reset Reported Problems");
    EXPECT_TRUE(alerts.shown.back().informativeText.contains("\u2022 Could not kill Wine processes: Exec format error\n"))
        << alerts.shown.back().informativeText.toStdString();
}

TEST_F(HelperAppTest, ResetAllRemovesThePrefixOnlyOnceItHasThePrefixsHold)
{
    QDir().mkpath(places::winePrefix() + "/drive_c");
    // Held as a VARA install's Wine phase holds it, which the reset must not pull the prefix from under.
    WinePrefixHold &hold = prefixHold;
    const int install = 0;
    ASSERT_TRUE(test::runToEnd(hold.acquire(&install, "the VARA HF install", {})));
    const auto giveBack = qScopeGuard([&] { hold.release(&install); });
    int relaunches = 0;
    relaunch = [&] { ++relaunches; };

    alerts.answers = {0};
    command("resetAll")->trigger();
    ASSERT_TRUE(test::processEventsUntil([&] { return env.log().contains("Reset Level 2: clearing Wine prefix"); }, 10s));
    // What the reset does up to its wait for the hold has run once nothing is left queued.
    test::ManualClock::processEvents();
    EXPECT_TRUE(QDir(places::winePrefix()).exists());
    EXPECT_FALSE(app->delegate().isTerminating());

    hold.release(&install);
    ASSERT_TRUE(test::processEventsUntil([&] { return relaunches > 0; }, 10s));
    EXPECT_FALSE(QDir(places::winePrefix()).exists());
    EXPECT_FALSE(hold.holder());
}

TEST_F(HelperAppTest, ReopenShowsTheHiddenWindow)
{
    EXPECT_FALSE(app->managementWindow().isVisible());
    app->delegate().handleReopen();
    EXPECT_TRUE(app->managementWindow().isVisible());
    app->managementWindow().hide();
    app->delegate().applicationDidBecomeActive();
    EXPECT_TRUE(app->managementWindow().isVisible());
}

TEST_F(HelperAppTest, ClosingTheWindowWithNoTrayIconMinimisesIt)
{
    ManagementWindow &window = app->managementWindow();
    app->delegate().handleReopen();
    ASSERT_EQ(config.appearanceMode(), AppAppearanceMode::dock);
    window.close();
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(window.isMinimized());
}

TEST_F(HelperAppTest, EscapeAndCtrlWCloseSettingsAndAboutAndCtrlWClosesTheWindowAsItsButtonDoes)
{
    const auto press = [](QWidget *window, QKeyCombination key) {
        QApplication::setActiveWindow(window);
        QKeyEvent event(QEvent::KeyPress, key.key(), key.keyboardModifiers());
        QApplication::sendEvent(window->focusWidget() ? window->focusWidget() : window, &event);
    };
    const QKeyCombination escape(Qt::Key_Escape), ctrlW(Qt::CTRL | Qt::Key_W);
    const auto about = [] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->objectName() == "about") {
                return w;
            }
        }
        return static_cast<QWidget *>(nullptr);
    };
    for (const QKeyCombination key : {escape, ctrlW}) {
        app->openSettings();
        press(app->settingsWindow(), key);
        EXPECT_FALSE(app->settingsWindow()->isVisible()) << key.key();
        command("about")->trigger();
        ASSERT_NE(about(), nullptr);
        press(about(), key);
        EXPECT_FALSE(about()->isVisible()) << key.key();
    }

    ManagementWindow &window = app->managementWindow();
    app->delegate().handleReopen();
    press(&window, escape);
    EXPECT_TRUE(window.isVisible() && !window.isMinimized()) << "Escape leaves the main window be";
    press(&window, ctrlW);
    EXPECT_TRUE(window.isMinimized()) << "without a tray icon, closing minimises";
}

// The helper's objects and the application over them, with a tray to show its icon in.
struct AppWithTray : test::HelperObjects, test::AppParts {
    AppWithTray() : AppParts(static_cast<HelperObjects &>(*this), {}, [] { return true; }) {}
};

TEST(HelperAppStartUp, AKeyringThatNeverAnswersHoldsUpNeitherTheWindowNorTheTrayNorTheAPI)
{
    AppWithTray helper;
    helper.env.useSystemClock();
    helper.config.setApiPort(test::freeTcpPort());
    helper.config.setAppearanceMode(AppAppearanceMode::both);
    OrchestratorServiceControl services(helper.orchestrator);
    helper.app->delegate().startup().setRequestHandler(APIRouter::handler(services, helper.config, helper.pairing,
                                                                          helper.env.platform().clock(),
                                                                          helper.env.defaults(), helper.env.notifications()));
    // A client approved in an earlier run, whose token is in the file store the helper falls back
    // to; the index of approved tokens still holds another one until the keychain is read.
    ASSERT_EQ(test::runToEnd(helper.pairing.requestPairing("c1", "host", "linux", "127.0.0.1")).kind,
              PairingManager::PairingResult::Kind::accepted);
    ASSERT_FALSE(helper.pairing.approve("c1"));
    const QString fallback = helper.env.root() + "/keychain.json";
    ASSERT_EQ(FileKeychain(fallback).add(HelperKeychainStorage::kService, "c1", "file-token"), Keychain::kSuccess);
    // A Secret Service on the session bus that never answers: asking it holds the asker until
    // the test ends.
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    const auto answerAtLast = qScopeGuard([&release] { release.set_value(); });
    helper.env.platform().setKeychain(std::make_shared<LinuxKeychain>(fallback, helper.env.platform().clock(),
                                                                      [released](SecretServiceKeychain &, QString *) {
                                                                          released.wait();
                                                                          return true;
                                                                      }));

    QElapsedTimer sinceLaunch;
    sinceLaunch.start();
    helper.app->delegate().applicationDidFinishLaunching();
    const quint16 port = helper.app->delegate().startup().httpServer().port();
    test::WireClient status;
    ASSERT_TRUE(status.connectTo(port));
    status.send("GET /status HTTP/1.1\r\nHost: localhost\r\n\r\n");
    test::WireClient paired;
    ASSERT_TRUE(paired.connectTo(port));
    paired.send("GET /services HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer file-token\r\n\r\n");
    ASSERT_TRUE(test::processEventsUntil(
        [&] { return !status.isOpen() && helper.app->managementWindow().isVisible(); }, 1s));
    EXPECT_LT(sinceLaunch.elapsed(), 1000);
    EXPECT_EQ(status.reply().statusCode, 200);
    EXPECT_TRUE(helper.app->trayIcon().isVisible());

    // What needs a token waits for the keychain: here the file store, once the keyring has had
    // its few seconds.
    EXPECT_TRUE(paired.isOpen());
    ASSERT_TRUE(test::processEventsUntil([&] { return !paired.isOpen(); }, 5s));
    EXPECT_EQ(paired.reply().statusCode, 200) << paired.reply().body.toStdString();
    EXPECT_GE(sinceLaunch.elapsed(), 2900);
    EXPECT_EQ(helper.env.log().messages().filter("The Secret Service did not answer within 3 s; keeping secrets in").size(), 1);
    helper.app.reset();
    test::ManualClock::processEvents();
}

} // namespace
} // namespace cordavelle
