#include "shots.h"

#include "widgets/alert_presenter.h"
#include "app/management_view.h"
#include "app/management_window.h"
#include "app/status_menu.h"
#include "app/tray_glyph.h"

#include "support/app_objects.h"
#include "support/event_wait.h"
#include "support/recording_service_control.h"

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QSystemTrayIcon>

#include <memory>

namespace cordavelle::screenshots {

namespace {

QImage grabMenu(QMenu *menu)
{
    menu->ensurePolished();
    menu->adjustSize();
    return grabWindow(menu);
}

QImage statusMenu(const std::function<void(test::RecordingServiceControl &)> &arrange,
                  std::optional<QString> advertised)
{
    test::RecordingServiceControl services;
    arrange(services);
    test::ScriptedAlertPresenter alerts;
    struct : AdvertisedName {
        std::optional<QString> advertisedName() override { return name; }
        std::optional<QString> name;
    } announced;
    announced.name = advertised;
    test::ManualClock clock;
    StatusMenu menu(services, alerts, announced, {}, clock);
    return grabMenu(&menu);
}

QImage alert(const Alert &alert)
{
    const auto box = MessageBoxAlertPresenter::makeMessageBox(alert);
    return grabWindow(box.get());
}

QImage trayGlyphs()
{
    const int size = 32;
    const TrayColor colours[] = {TrayColor::primary, TrayColor::green, TrayColor::yellow, TrayColor::red};
    QImage image(size * 5 + 60, size * 2 + 30, QImage::Format_ARGB32);
    image.fill(QColor(0xEE, 0xEE, 0xEE));
    QPainter painter(&image);
    painter.fillRect(0, size + 15, image.width(), size + 15, QColor(0x30, 0x30, 0x30));
    for (int row = 0; row < 2; ++row) {
        const QColor primary = row == 0 ? QColor(Qt::black) : QColor(Qt::white);
        int x = 10;
        for (TrayColor colour : colours) {
            painter.drawPixmap(x, 8 + row * (size + 15), trayGlyph(colour, false, primary, size).pixmap(size, size));
            x += size + 10;
        }
        painter.drawPixmap(x, 8 + row * (size + 15),
                           trayGlyph(TrayColor::primary, true, primary, size).pixmap(size, size));
    }
    return image;
}

} // namespace

void addAppShots(ShotList &shots, ShotEnvironment &environment)
{
    // The application over the shared scene, with scripted alerts.
    auto scene = std::make_shared<test::AppParts>(environment, DependencyUpdateNudge::Lookups{},
                                                  [] { return QSystemTrayIcon::isSystemTrayAvailable(); });
    using S = ServiceRunState;
    using M = ServiceLifecycleMode;

    shots.push_back({QStringLiteral("management-window"), [scene] {
                         return grabWindow(&scene->app->managementWindow());
                     }});
    // The window on another section, as a click in the sidebar leaves it.
    const auto onSection = [scene](std::optional<SidebarSection> section) {
        ManagementWindow &window = scene->app->managementWindow();
        ManagementView *view = window.findChild<ManagementView *>();
        view->setSelectedSection(section);
        QImage picture = grabWindow(&window);
        view->setSelectedSection(SidebarSection::varaHF);
        return picture;
    };
    shots.push_back({QStringLiteral("management-window-setup"), [onSection] { return onSection(SidebarSection::setup); }});
    shots.push_back({QStringLiteral("management-vara-fm-error"),
                     [onSection] { return onSection(SidebarSection::varaFM); }});
    // Direwolf is switched off in the scene and has never been started.
    shots.push_back({QStringLiteral("service-page-never-launched"),
                     [onSection] { return onSection(SidebarSection::direwolf); }});
    shots.push_back({QStringLiteral("management-no-selection"), [onSection] { return onSection(std::nullopt); }});
    shots.push_back({QStringLiteral("management-window-app-menu"), [scene] {
                         return grabMenu(scene->app->managementWindow().findChild<QMenu *>(QStringLiteral("appMenu")));
                     }});
    shots.push_back({QStringLiteral("management-window-help-menu"), [scene] {
                         return grabMenu(scene->app->managementWindow().findChild<QMenu *>(QStringLiteral("helpMenu")));
                     }});
    shots.push_back({QStringLiteral("setup-wizard-at-first-launch"), [scene] {
                         // A home that never finished set-up: the window comes up with the wizard.
                         ManagementWindow &window = scene->app->managementWindow();
                         window.show();
                         scene->setup.setShowWizard(true);
                         await([&] { return window.wizard() != nullptr; }, "the wizard to open");
                         QImage picture = grabWindow(window.wizard());
                         window.wizard()->close();
                         window.hide();
                         scene->setup.setShowWizard(false);
                         return picture;
                     }});
    shots.push_back({QStringLiteral("settings-window"), [scene] {
                         scene->app->openSettings();
                         return grabWindow(scene->app->settingsWindow());
                     }});

    shots.push_back({QStringLiteral("status-menu-stopped"), [] {
                         return statusMenu([](test::RecordingServiceControl &) {}, std::nullopt);
                     }});
    shots.push_back({QStringLiteral("status-menu-mixed"), [] {
                         return statusMenu(
                             [](test::RecordingServiceControl &s) {
                                 s.states[ServiceID::varaHF] = S::running;
                                 s.states[ServiceID::varaFM] = S::stopping;
                                 s.states[ServiceID::rigctld] = S::starting;
                                 s.states[ServiceID::direwolf] = S::error;
                             },
                             QStringLiteral("Shack Helper"));
                     }});
    shots.push_back({QStringLiteral("status-menu-running"), [] {
                         return statusMenu(
                             [](test::RecordingServiceControl &s) {
                                 s.modes[ServiceID::varaFM] = M::disabled;
                                 s.modes[ServiceID::direwolf] = M::disabled;
                                 s.states[ServiceID::varaHF] = S::running;
                                 s.states[ServiceID::rigctld] = S::running;
                             },
                             QStringLiteral("Cordavelle Helper"));
                     }});
    shots.push_back({QStringLiteral("status-menu-not-advertised"), [] {
                         // Bonjour refused the advertisement while the services run.
                         return statusMenu(
                             [](test::RecordingServiceControl &s) {
                                 s.modes[ServiceID::direwolf] = M::disabled;
                                 s.states[ServiceID::varaHF] = S::running;
                                 s.states[ServiceID::rigctld] = S::running;
                             },
                             std::nullopt);
                     }});
    shots.push_back({QStringLiteral("status-menu-all-disabled"), [] {
                         return statusMenu(
                             [](test::RecordingServiceControl &s) {
                                 for (ServiceID id : allCases<ServiceID>()) {
                                     s.modes[id] = M::disabled;
                                 }
                             },
                             std::nullopt);
                     }});
    shots.push_back({QStringLiteral("tray-glyphs"), [] { return trayGlyphs(); }});

    shots.push_back({QStringLiteral("alert-services-still-running"),
                     [] { return alert(servicesStillRunningAlert({ServiceID::varaHF, ServiceID::rigctld})); }});
    shots.push_back({QStringLiteral("alert-quit"), [] { return alert(quitConfirmationAlert()); }});
    shots.push_back({QStringLiteral("alert-reset-all"), [] { return alert(resetAllConfirmationAlert()); }});
    shots.push_back({QStringLiteral("alert-reset-all-prefix-kept"), [] {
                         return alert(prefixKeptAlert(
                             {QStringLiteral("Could not remove wine-prefix: partly removed, 9 entries gone: "
                                             "/home/ann/.local/share/Cordavelle Helper/wine-prefix/drive_c/users "
                                             "could not be entered: Permission denied")}));
                     }});
    shots.push_back({QStringLiteral("alert-reset-all-with-warnings"), [] {
                         return alert(resetWarningsAlert(
                             {QStringLiteral("Could not kill Wine processes: Exec format error")}));
                     }});
    shots.push_back({QStringLiteral("alert-api-server-failed"), [] {
                         return alert(httpServerFailureAlert(8380, QStringLiteral("The address is already in use")));
                     }});
    shots.push_back({QStringLiteral("alert-no-terminal"),
                     [] { return alert(noTerminalAlert(QStringLiteral("sudo apt-get install -y direwolf"))); }});
}

} // namespace cordavelle::screenshots
