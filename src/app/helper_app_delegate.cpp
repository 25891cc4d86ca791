#include "helper_app_delegate.h"

#include "install/dependency_update_nudge.h"

#include "api/pairing_manager.h"
#include "app/app_log.h"
#include "app/helper_setup_state.h"
#include "app/microphone_permission.h"
#include "app/settings_opener.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "install/helper_uninstaller.h"
#include "platform/platform.h"
#include "platform/program_search.h"
#include "widgets/screen_fit.h"

#include <QApplication>
#include <QProcess>
#include <QTimer>
#include <QWidget>

namespace cordavelle {

namespace {

// The desktop's own sound settings, where input devices and their levels are chosen.
void openSoundSettings()
{
    const std::pair<const char *, QStringList> candidates[] = {
        {"gnome-control-center", {QStringLiteral("sound")}},
        {"pavucontrol", {QStringLiteral("--tab=4")}},
    };
    for (const auto &[program, arguments] : candidates) {
        const std::optional<QString> path = findProgram(QString::fromLatin1(program)).found;
        if (path && QProcess::startDetached(*path, arguments)) {
            return;
        }
    }
}

QList<QWidget *> windowsNamed(const std::function<bool(const QString &)> &matches)
{
    QList<QWidget *> found;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (!widget->objectName().isEmpty() && matches(widget->objectName())) {
            found << widget;
        }
    }
    return found;
}

void bringForward(QWidget *window)
{
    if (window->isMinimized()) {
        window->showNormal();
    } else {
        window->show();
    }
    window->raise();
    window->activateWindow();
}

} // namespace

bool showsManagementOnActivation(const std::vector<WindowFacts> &windows, bool causedByPopup)
{
    if (causedByPopup) {
        return false;
    }
    return std::ranges::none_of(windows, [](const WindowFacts &w) {
        return w.visible && !w.minimized && w.normalLevel && w.titled;
    });
}

bool quitNeedsConfirmation(ServiceRunState varaState, ServiceRunState rigctldState)
{
    return varaState == ServiceRunState::running || rigctldState == ServiceRunState::running;
}

Alert quitConfirmationAlert()
{
    return {Alert::Style::warning, QStringLiteral("Quit Cordavelle Helper?"),
            QStringLiteral("This will stop all running services (VARA, rigctld). Any active radio connections may be "
                           "interrupted."),
            {QStringLiteral("Quit"), QStringLiteral("Cancel")}};
}

Alert resetAllConfirmationAlert()
{
    return {Alert::Style::warning,
            QStringLiteral("Reset All Configurations"),
            QStringLiteral("This will delete all settings, service configurations, pairing information, and the Wine "
                           "prefix (VARA will need to be reinstalled). Wine and rigctld will not be removed. The app "
                           "will restart."),
            {QStringLiteral("Reset"), QStringLiteral("Cancel")},
            true};
}

namespace {

QString bulleted(const QStringList &lines)
{
    QString text;
    for (const QString &line : lines) {
        text += QStringLiteral("\u2022 ") + line + QLatin1Char('\n');
    }
    return text;
}

} // namespace

Alert resetWarningsAlert(const QStringList &errors)
{
    return {Alert::Style::warning,
            QStringLiteral("The Reset Reported Problems"),
            QStringLiteral("The Wine prefix is removed, but the reset reported:\n\n") + bulleted(errors) +
                QStringLiteral("\nThe settings and pairing information are cleared and the app will restart."),
            {QStringLiteral("OK")},
            false};
}

Alert prefixKeptAlert(const QStringList &errors)
{
    const QString reasons = bulleted(errors);
    return {Alert::Style::warning,
            QStringLiteral("The Wine Prefix Was Not Removed"),
            QStringLiteral("Some of the Wine prefix could not be removed:\n\n") + reasons +
                QStringLiteral("\nThe settings and pairing information are cleared and the app will restart. Once the "
                               "cause is fixed, remove the prefix with Reset Wine Prefix in the settings."),
            {QStringLiteral("OK")},
            false};
}

Alert httpServerFailureAlert(int port, const QString &error)
{
    return {Alert::Style::critical, QStringLiteral("API Server Failed to Start"),
            QStringLiteral("Cordavelle Helper could not bind to port ") + QString::number(port) +
                QStringLiteral(". The port may already be in use by another application.") + QStringLiteral("\n\n") +
                QStringLiteral("Error: ") + error + QStringLiteral("\n\n") +
                QStringLiteral("Cordavelle will not be able to connect to the Helper until this is resolved. You can "
                               "change the API port in Helper Settings."),
            {QStringLiteral("Open Settings"), QStringLiteral("Quit")}};
}

Alert microphoneDeniedAlert()
{
    return {Alert::Style::warning, QStringLiteral("Microphone Access Required"),
            QStringLiteral("Cordavelle Helper needs microphone access so VARA can receive audio from your radio "
                           "interface. Without it, modem connections will fail silently.") +
                QStringLiteral("\n\n") +
                QStringLiteral("Please enable microphone access in your desktop's privacy and sound settings."),
            {QStringLiteral("Open Sound Settings"), QStringLiteral("Later")}};
}

void relaunchAfterThisProcess()
{
    const QStringList arguments{QStringLiteral("--after-pid"), QString::number(QCoreApplication::applicationPid())};
    if (!QProcess::startDetached(QCoreApplication::applicationFilePath(), arguments)) {
        appLog().error(QStringLiteral("Could not start a new instance after the reset"));
    }
}

HelperAppDelegate::HelperAppDelegate(const AppContext &context, MicrophonePermission &microphone,
                                     std::function<void()> relaunch, PrefixReset resetPrefix,
                                     WindowFactory aboutWindow, QObject *parent)
    : QObject(parent),
      m_context(context),
      m_startup(context.config, context.orchestrator, context.pairing, context.discovery, context.platform),
      m_microphone(microphone),
      m_aboutFactory(std::move(aboutWindow)),
      m_resetPrefix(std::move(resetPrefix)),
      m_relaunch(std::move(relaunch))
{
    m_startup.setFailureReporter([this](int port, const QString &error) { showHTTPServerFailureAlert(port, error); });
    connect(&m_startup, &ServiceStartup::aboutToExit, this, [this] {
        if (m_relaunchPending && m_relaunch) {
            m_relaunch();
        }
    });
}

HelperAppDelegate::~HelperAppDelegate() = default;

std::optional<QString> HelperAppDelegate::advertisedName()
{
    const BonjourAdvertiser &advertiser = bonjourAdvertiser();
    if (!advertiser.isAdvertising()) {
        return std::nullopt;
    }
    return advertiser.advertisedName();
}

void HelperAppDelegate::applicationDidFinishLaunching()
{
    m_launching = true;
    checkMicrophonePermission();
    m_startup.launch();
    m_context.updateNudge.checkAll();
    if (!m_context.defaults.boolForKey(ConfigStore::Keys::kHasCompletedHelperSetup)) {
        m_context.setup.setShowWizard(true);
    }
    [](QPointer<HelperAppDelegate> self, Clock &clock) -> QCoro::Task<void> {
        co_await clock.sleep(std::chrono::milliseconds(100));
        if (!self) {
            co_return;
        }
        self->showManagementWindow();
        // Start-up is complete before anyone has to answer an alert, and the window (with the
        // wizard it opens a moment after it) is up, so that the alerts open above it rather than
        // beneath. Alerts raised until then (also by what start-up set going, such as a listener
        // that fails a moment later) keep their order.
        QTimer::singleShot(0, self, [self] {
            if (self) {
                self->presentDeferredAlerts();
            }
        });
    }(this, m_context.platform.clock());
}

void HelperAppDelegate::presentDeferredAlerts()
{
    m_launching = false;
    auto alerts = std::exchange(m_deferredAlerts, {});
    for (auto &show : alerts) {
        show();
    }
}

void HelperAppDelegate::presentWhenLaunched(std::function<void()> show)
{
    if (m_launching) {
        m_deferredAlerts.push_back(std::move(show));
    } else {
        show();
    }
}

void HelperAppDelegate::checkMicrophonePermission()
{
    switch (m_microphone.status()) {
    case MicrophonePermission::Status::restricted:
    case MicrophonePermission::Status::denied:
        showMicrophoneDeniedAlert();
        break;
    case MicrophonePermission::Status::notDetermined:
        m_microphone.requestAccess([self = QPointer(this)](bool granted) {
            if (self && !granted) {
                self->showMicrophoneDeniedAlert();
            }
        });
        break;
    case MicrophonePermission::Status::authorized:
        break;
    }
}

void HelperAppDelegate::showMicrophoneDeniedAlert()
{
    presentWhenLaunched([this] {
        if (m_context.alerts.present(microphoneDeniedAlert()) == 0) {
            openSoundSettings();
        }
    });
}

void HelperAppDelegate::showHTTPServerFailureAlert(int port, const QString &error)
{
    if (m_hasShownHTTPFailureAlert) {
        return;
    }
    m_hasShownHTTPFailureAlert = true;
    presentWhenLaunched([this, port, error] {
        if (m_context.alerts.present(httpServerFailureAlert(port, error)) == 0) {
            m_context.settingsOpener.open();
        } else {
            requestTermination(QuitSource::user);
        }
    });
}

void HelperAppDelegate::showManagementWindow()
{
    const auto windows = windowsNamed([](const QString &name) { return name.contains(QStringLiteral("management")); });
    if (windows.isEmpty()) {
        return;
    }
    appLog().info(QStringLiteral("Showing the management window"));
    bringForward(windows.first());
}

void HelperAppDelegate::showAboutWindow()
{
    const auto windows = windowsNamed([](const QString &name) { return name == QStringLiteral("about"); });
    if (!windows.isEmpty()) {
        bringForward(windows.first());
        return;
    }
    QWidget *about = m_aboutFactory();
    about->setObjectName(QStringLiteral("about"));
    about->setWindowTitle(QStringLiteral("About Cordavelle Helper"));
    bringForward(about);
}

void HelperAppDelegate::handleReopen()
{
    appLog().info(QStringLiteral("Another launch asked for the helper"));
    const auto visible = std::ranges::any_of(QApplication::topLevelWidgets(), [](QWidget *w) {
        return w->isVisible() && isTitledWindow(*w);
    });
    if (!visible) {
        showManagementWindow();
        return;
    }
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && isTitledWindow(*window)) {
            appLog().info(QStringLiteral("Bringing the helper's window forward"));
            bringForward(window);
            return;
        }
    }
}

void HelperAppDelegate::applicationDidBecomeActive()
{
    std::vector<WindowFacts> facts;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        facts.push_back(
            {w->isVisible(), w->isMinimized(), !(w->windowFlags() & Qt::WindowStaysOnTopHint), isTitledWindow(*w)});
    }
    if (showsManagementOnActivation(facts, QApplication::activePopupWidget() != nullptr)) {
        showManagementWindow();
    }
}

bool HelperAppDelegate::requestTermination(QuitSource source)
{
    if (m_startup.isQuitting()) {
        return true;
    }
    if (source == QuitSource::user &&
        quitNeedsConfirmation(m_context.orchestrator.varaProcess().state(), m_context.orchestrator.rigctldProcess().state()) &&
        m_context.alerts.present(quitConfirmationAlert()) != 0) {
        return false;
    }
    m_startup.requestQuit();
    return true;
}

void HelperAppDelegate::confirmAndResetAll()
{
    if (m_context.alerts.present(resetAllConfirmationAlert()) == 0) {
        resetAllConfigurations();
    }
}

QCoro::Task<void> HelperAppDelegate::resetAllConfigurations()
{
    QPointer<HelperAppDelegate> self(this);
    appLog().info(QStringLiteral("Resetting all configurations"));
    // Nothing is wiped while a service could still write to it.
    co_await m_startup.stopServices();
    if (!self) {
        co_return;
    }
    if (const auto failure = m_context.pairing.clearAll()) {
        // The settings go below all the same, so the pairings leave memory too: no old token opens
        // the API while the reset runs, and no last-seen time waiting to be written puts the table
        // back. The tokens left behind name no stored client and the next start sweeps them.
        appLog().error(*failure);
        m_context.pairing.forgetAll();
    }
    // A prefix set-up or VARA install still running would go on in the removed prefix and record
    // VARA as installed; the prefix reset ends them first and keeps the prefix when they do not
    // end. The rest of the reset goes on either way, but a prefix that stayed is not passed over
    // in silence: the confirmation promised it would go.
    const ResetReport prefixReport = co_await m_resetPrefix();
    if (!self) {
        co_return;
    }
    // What is said follows what is on disk: a warning beside a prefix that went is no prefix kept.
    if (prefixReport.prefixKept) {
        m_context.alerts.present(prefixKeptAlert(prefixReport.errors));
    } else if (!prefixReport.errors.isEmpty()) {
        m_context.alerts.present(resetWarningsAlert(prefixReport.errors));
    }
    if (!self) {
        co_return;
    }
    ResetReport report;
    co_await HelperUninstaller::clearUserDefaults(m_context.defaults, m_context.config.priorPreferencesFile(), report);
    if (!self) {
        co_return;
    }
    for (const QString &error : std::as_const(report.errors)) {
        appLog().error(error);
    }
    m_relaunchPending = true;
    requestTermination(QuitSource::reset);
}

} // namespace cordavelle
