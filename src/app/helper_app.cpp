#include "helper_app.h"

#include "api/pairing_manager.h"
#include "app/about_window.h"
#include "app/app_log.h"
#include "app/clients_page.h"
#include "widgets/close_keys.h"
#include "widgets/input_rules.h"
#include "widgets/screen_fit.h"
#include "widgets/coalesced_refresh.h"
#include "widgets/form_parts.h"
#include "app/helper_setup_state.h"
#include "app/management_view.h"
#include "app/management_window.h"
#include "app/settings_opener.h"
#include "app/shell_pages.h"
#include "widgets/status_look.h"
#include "app/settings_view.h"
#include "app/status_menu.h"
#include "base/helper_places.h"
#include "core/experimental_features.h"
#include "install/hamlib_installer.h"
#include "install/helper_uninstaller.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"
#include "platform/platform.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "core/wine_prefix_hold.h"
#include "install/dependency_update_nudge.h"
#include "radio/direwolf_discovery.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QIcon>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

namespace cordavelle {

AppearancePlan appearancePlan(AppAppearanceMode mode, bool trayAvailable)
{
    AppearancePlan plan;
    plan.trayIcon = showInMenuBar(mode) && trayAvailable;
    plan.trayMissing = showInMenuBar(mode) && !trayAvailable;
    // With neither tray icon nor taskbar entry the program could not be reached at all.
    plan.taskbarPresence = showInDock(mode) || !plan.trayIcon;
    return plan;
}

Alert noTerminalAlert(const QString &command)
{
    Alert alert;
    alert.style = Alert::Style::warning;
    alert.message = QStringLiteral("No Terminal Could Be Opened");
    alert.informativeText =
        QStringLiteral("The helper could not open a terminal for this command. Run it in a terminal yourself, then "
                       "come back to the helper:\n\n") +
        command +
        QStringLiteral("\n\nTo have the helper open your own terminal, set the TERMINAL environment variable to "
                       "its program.");
    alert.buttons = {QStringLiteral("Copy Command"), QStringLiteral("Close")};
    return alert;
}

CordavelleHelperApp::CordavelleHelperApp(const AppContext &context, const SetupInstallers &installers,
                                         ShellPages &pages, MicrophonePermission &microphone,
                                         std::function<bool()> trayAvailable, std::function<void()> relaunch,
                                         QObject *parent)
    : QObject(parent),
      m_context(context),
      m_installers(installers),
      m_pages(pages),
      m_services(context.orchestrator),
      m_delegate(std::make_unique<HelperAppDelegate>(
          context, microphone, std::move(relaunch), [this] { return runReset(ResetLevel::prefix); },
          [this] {
              // Titled and closable only; kept (hidden) when closed, and found again by its name.
              auto *about = new AboutWindow(AboutInfo::current(), m_managementWindow.get());
              about->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                    Qt::WindowCloseButtonHint);
              about->resize(420, 500);
              addCloseKeys(*about, true);
              return about;
          })),
      m_trayRefresh(new CoalescedRefresh(this, [this] { refreshTrayIcon(); })),
      m_trayAvailable(std::move(trayAvailable))
{
    ensureIconTheme();
    installWheelRule(*QCoreApplication::instance());
    installScreenFitRule(*QCoreApplication::instance());
    installWindowRole();
    QApplication::setQuitOnLastWindowClosed(false);
    m_context.pairing.setAttention(&m_attention);

    ManagementWindow::Commands commands;
    commands.about = [this] { m_delegate->showAboutWindow(); };
    commands.settings = [this] { openSettings(); };
    commands.quit = [this] { m_delegate->requestTermination(HelperAppDelegate::QuitSource::user); };
    commands.clearPairing = [this] {
        if (const auto failure = m_context.pairing.clearAll()) {
            m_context.alerts.present(
                pairingNotSavedAlert(QStringLiteral("The pairing information could not be cleared"), *failure),
                m_managementWindow.get());
        }
    };
    commands.resetAll = [this] { m_delegate->confirmAndResetAll(); };
    m_managementWindow = std::make_unique<ManagementWindow>(
        std::move(commands), m_context.setup, [this](QWidget *parent) {
            return m_pages.makeWizard(parent, [this](SidebarSection section) {
                if (auto *view = qobject_cast<ManagementView *>(m_managementWindow->centralWidget())) {
                    view->setSelectedSection(section);
                }
            });
        });
    auto *view = new ManagementView(m_context.orchestrator, m_context.config, m_context.pairing);
    view->setPageFactory(SidebarSection::clients, [this](ManagementView &) {
        return new ClientsPage(m_context.pairing, m_context.platform.clock(), m_context.alerts);
    });
    m_pages.installPages(*view);
    watchSetupProgress(*view);
    m_managementWindow->setCentralView(view);
    DependencyUpdateNudge *nudge = &m_context.updateNudge;
    view->setPendingUpdates(nudge->pendingUpdates());
    connect(nudge, &DependencyUpdateNudge::pendingUpdatesChanged, view,
            [view, nudge] { view->setPendingUpdates(nudge->pendingUpdates()); });

    StatusMenu::Actions menuActions;
    menuActions.openHelper = [this] { m_delegate->showManagementWindow(); };
    menuActions.terminate = [this] { m_delegate->requestTermination(HelperAppDelegate::QuitSource::user); };
    m_statusMenu = new StatusMenu(m_services, m_context.alerts, *m_delegate, std::move(menuActions),
                                  m_context.platform.clock());
    m_statusMenu->setParent(m_managementWindow.get(), m_statusMenu->windowFlags());
    m_trayIcon = new QSystemTrayIcon(this);
    m_trayIcon->setToolTip(QStringLiteral("Cordavelle Helper"));
    m_trayIcon->setContextMenu(m_statusMenu);
    // A click opens the menu too, as the menu is all the tray icon offers.
    connect(m_trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) {
            m_statusMenu->popup(QCursor::pos());
        }
    });

    // SettingsOpener works from the start, not only once the settings window was shown.
    m_context.settingsOpener.setAction([self = QPointer(this)] {
        if (self) {
            self->openSettings();
        }
    });

    // The label and the menu follow every state they show.
    for (ServiceID id : allCases<ServiceID>()) {
        connect(&m_context.orchestrator.process(id), &ManagedProcess::stateChanged, this, [this] {
            m_trayRefresh->schedule();
            m_statusMenu->scheduleRefresh();
        });
        connect(&m_context.orchestrator.process(id), &ManagedProcess::startErrorChanged, this, [this] {
            m_trayRefresh->schedule();
            m_statusMenu->scheduleRefresh();
        });
    }
    const auto configChanged = [this] {
        m_trayRefresh->schedule();
        m_statusMenu->scheduleRefresh();
    };
    connect(&m_context.config, &ConfigStore::varaConfigChanged, this, configChanged);
    connect(&m_context.config, &ConfigStore::varaFMConfigChanged, this, configChanged);
    connect(&m_context.config, &ConfigStore::rigctldConfigChanged, this, configChanged);
    connect(&m_context.config, &ConfigStore::direwolfConfigChanged, this, configChanged);
    connect(&m_context.config, &ConfigStore::appearanceModeChanged, this, &CordavelleHelperApp::applyAppearance);
    connect(&m_context.pairing, &PairingManager::clientsChanged, m_trayRefresh, &CoalescedRefresh::schedule);
    connect(&m_delegate->bonjourAdvertiser(), &BonjourAdvertiser::isAdvertisingChanged, m_statusMenu,
            &StatusMenu::scheduleRefresh);
    connect(&m_delegate->bonjourAdvertiser(), &BonjourAdvertiser::advertisedNameChanged, m_statusMenu,
            &StatusMenu::scheduleRefresh);

    // An install the user was to drive in a terminal would otherwise silently not happen.
    connect(&m_installers.direwolfDiscovery, &DirewolfDiscovery::terminalUnavailable, this,
            [this](const QString &command) {
                if (m_context.alerts.present(noTerminalAlert(command)) == 0) {
                    QGuiApplication::clipboard()->setText(command);
                }
            });

    // Dock or not, as the mode says, from the start.
    m_context.config.applyAppearanceMode();
    refreshTrayIcon();
    applyAppearance();
}

CordavelleHelperApp::~CordavelleHelperApp()
{
    m_context.pairing.setAttention(nullptr);
    m_context.settingsOpener.setAction({});
    delete m_settingsWindow;
}

void CordavelleHelperApp::watchSetupProgress(ManagementView &view)
{
    // The Setup row counts what is installed; an installer that settles may have changed that.
    const SetupInstallers &installers = m_installers;
    for (Installer *installer : std::initializer_list<Installer *>{&installers.wine, &installers.prefix, &installers.varaHF,
                                                                   &installers.varaFM, &installers.hamlib}) {
        connect(installer, &Installer::changed, &view, [&view] { view.refreshSetupProgress(); });
    }
}

void CordavelleHelperApp::applyAppearance()
{
    const AppearancePlan plan = appearancePlan(m_context.config.appearanceMode(), m_trayAvailable());
    if (plan.trayMissing && !m_warnedTrayMissing) {
        m_warnedTrayMissing = true;
        appLog().error(QStringLiteral("No system tray is available: showing the management window instead of the "
                                      "tray icon"));
    }
    m_trayIcon->setVisible(plan.trayIcon);
    m_managementWindow->setTaskbarPresence(plan.taskbarPresence);
    m_managementWindow->setMinimisesOnClose(!plan.trayIcon);
    if (plan.trayMissing) {
        m_delegate->showManagementWindow();
    }
}

TrayColor CordavelleHelperApp::trayColor() const
{
    // A start that threw leaves the process stopped, yet the page, the sidebar and the menu read
    // it as an error: the icon does too.
    const auto shown = [](const ManagedProcess &process) {
        return shownRunState(process.state(), process.startError().has_value());
    };
    return menuBarColor(shown(m_context.orchestrator.varaProcess()), m_context.config.varaConfig().lifecycleMode,
                        shown(m_context.orchestrator.rigctldProcess()), m_context.config.rigctldConfig().lifecycleMode);
}

void CordavelleHelperApp::refreshTrayIcon()
{
    const QColor primary = QApplication::palette().color(QPalette::WindowText);
    const auto drawnFrom = std::make_tuple(trayColor(), m_context.pairing.pendingCount() >= 1, primary.rgba());
    if (drawnFrom == m_trayDrawnFrom) {
        return;
    }
    m_trayDrawnFrom = drawnFrom;
    m_trayIcon->setIcon(trayGlyph(std::get<0>(drawnFrom), std::get<1>(drawnFrom), primary));
}

QWidget *CordavelleHelperApp::makeSettingsView(QWidget *parent)
{
    SettingsContext settings{m_context.config,
                             m_context.experimental,
                             m_context.pairing,
                             m_context.alerts,
                             [this](ResetLevel level) { return runReset(level); },
                             [this] { m_delegate->requestTermination(HelperAppDelegate::QuitSource::reset); },
                             places::winePrefix(),
                             m_context.platform.paths().home(),
                             &m_context.orchestrator};
    auto *view = new HelperSettingsView(std::move(settings), parent);
    return view;
}

QCoro::Task<ResetReport> CordavelleHelperApp::runReset(ResetLevel level)
{
    if (!m_uninstaller) {
        Platform &platform = m_context.platform;
        const SetupInstallers &installers = m_installers;
        m_uninstaller = std::make_unique<HelperUninstaller>(HelperUninstaller::Collaborators{
            m_context.config, m_context.experimental, m_services, m_context.defaults, platform.keychain(), platform.loginItem(),
            platform.commandRunner(), [this] { m_context.pairing.forgetAll(); }, m_context.prefixHold,
            platform.clock(),
            {HelperUninstaller::installer(installers.wine), HelperUninstaller::installer(installers.prefix),
             HelperUninstaller::installer(installers.varaHF), HelperUninstaller::installer(installers.varaFM),
             HelperUninstaller::installer(installers.hamlib)}});
    }
    switch (level) {
    case ResetLevel::settings:
        co_return co_await m_uninstaller->resetSettings();
    case ResetLevel::prefix:
        co_return co_await m_uninstaller->resetWinePrefix();
    case ResetLevel::everything:
        break;
    }
    co_return co_await m_uninstaller->resetEverything();
}

void CordavelleHelperApp::openSettings()
{
    if (!m_settingsWindow) {
        auto *window = new QWidget(nullptr, Qt::Window);
        window->setObjectName(QStringLiteral("settings"));
        window->setWindowTitle(QStringLiteral("Cordavelle Helper Settings"));
        window->resize(480, 720);
        auto *layout = bareColumn(window);
        layout->addWidget(makeSettingsView(window));
        // Every setting is stored as it changes: there is nothing to confirm or cancel.
        addCloseKeys(*window, true);
        m_settingsWindow = window;
    }
    m_settingsWindow->show();
    m_settingsWindow->raise();
    m_settingsWindow->activateWindow();
}

} // namespace cordavelle
