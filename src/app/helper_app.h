#pragma once

#include "core/orchestrator_service_control.h"
#include "app/helper_app_delegate.h"
#include "app/setup_installers.h"
#include "app/tray_glyph.h"
#include "app/widget_attention.h"
#include "base/app_appearance_mode.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <tuple>

class QSystemTrayIcon;

namespace cordavelle {

class CoalescedRefresh;
class ExperimentalFeatureManager;
class HelperUninstaller;
struct ResetReport;
enum class ResetLevel;
class ManagementView;
class ManagementWindow;
class ShellPages;
class StatusMenu;

// Where the program shows itself for an appearance mode. Without a system tray the tray-only
// mode falls back to the window's taskbar presence (the stored setting stays as it is).
struct AppearancePlan {
    bool trayIcon = false;
    bool taskbarPresence = true;
    bool trayMissing = false; // the tray was asked for but there is none
    bool operator==(const AppearancePlan &) const = default;
};
AppearancePlan appearancePlan(AppAppearanceMode mode, bool trayAvailable);

// The alert when no terminal could be opened on `command`: the command to run by hand, with a
// first button that copies it.
Alert noTerminalAlert(const QString &command);

// The application: the delegate, the management window with the program's commands, the tray
// icon with the status menu, and the settings window that SettingsOpener opens.
//
// Main thread only; needs a QApplication.
class CordavelleHelperApp final : public QObject {
    Q_OBJECT
public:
    // `pages` makes the pages and the wizard that stand above the shell, and `microphone` answers
    // for the microphone; both must outlive the application. `trayAvailable` tells whether the
    // desktop has a system tray; `relaunch` starts the new instance after a reset.
    CordavelleHelperApp(const AppContext &context, const SetupInstallers &installers, ShellPages &pages,
                        MicrophonePermission &microphone, std::function<bool()> trayAvailable,
                        std::function<void()> relaunch, QObject *parent = nullptr);
    ~CordavelleHelperApp() override;

    HelperAppDelegate &delegate() { return *m_delegate; }
    ManagementWindow &managementWindow() { return *m_managementWindow; }
    StatusMenu &statusMenu() { return *m_statusMenu; }
    QSystemTrayIcon &trayIcon() { return *m_trayIcon; }

    // Follows the appearance mode.
    void applyAppearance();
    TrayColor trayColor() const;

    // Shows the settings window, made on first use.
    void openSettings();
    QWidget *settingsWindow() const { return m_settingsWindow; }

    // Runs one reset level, making the uninstaller on first use.
    QCoro::Task<ResetReport> runReset(ResetLevel level);

private:
    void refreshTrayIcon();
    void watchSetupProgress(ManagementView &view);
    QWidget *makeSettingsView(QWidget *parent);

    AppContext m_context;
    SetupInstallers m_installers;
    ShellPages &m_pages;
    // Pairing requests flash the windows while the application has them.
    WidgetAttention m_attention;
    OrchestratorServiceControl m_services;
    std::unique_ptr<HelperAppDelegate> m_delegate;
    CoalescedRefresh *m_trayRefresh;
    std::unique_ptr<ManagementWindow> m_managementWindow;
    QSystemTrayIcon *m_trayIcon;
    StatusMenu *m_statusMenu;
    QPointer<QWidget> m_settingsWindow;
    std::unique_ptr<HelperUninstaller> m_uninstaller;
    std::function<bool()> m_trayAvailable;
    bool m_warnedTrayMissing = false;
    // What the tray icon was last drawn from, so an unchanged one is not drawn again.
    std::optional<std::tuple<TrayColor, bool, QRgb>> m_trayDrawnFrom;
};

} // namespace cordavelle
