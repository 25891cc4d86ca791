#pragma once

#include "widgets/alert_presenter.h"
#include "app/advertised_name.h"
#include "app/app_context.h"
#include "base/service_model.h"
#include "startup/service_startup.h"
#include "install/helper_uninstaller.h"

#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>
#include <vector>

class QWidget;

namespace cordavelle {

class MicrophonePermission;

// What the activation decision knows of one of the program's top-level windows.
struct WindowFacts {
    bool visible = false;
    bool minimized = false;
    bool normalLevel = true;
    bool titled = true;
};
// Coming to the foreground shows the management window unless a visible, not minimised,
// normal-level titled window is there already. An activation that a popup (the tray menu) caused
// never does.
bool showsManagementOnActivation(const std::vector<WindowFacts> &windows, bool causedByPopup);
// Only while VARA HF or rigctld runs does quitting ask first.
bool quitNeedsConfirmation(ServiceRunState varaState, ServiceRunState rigctldState);
Alert quitConfirmationAlert();
Alert resetAllConfirmationAlert();
// After Reset All: the Wine prefix, or part of it, stayed, for `errors` (each naming the folder).
Alert prefixKeptAlert(const QStringList &errors);
// Reset All's alert, before the restart, when the prefix went but its level reported failures.
Alert resetWarningsAlert(const QStringList &errors);
Alert httpServerFailureAlert(int port, const QString &error);
Alert microphoneDeniedAlert();

// Starts this program again, told to wait for this process to end: the new instance after a
// reset.
void relaunchAfterThisProcess();

// The application delegate: runs the start-up once launching has finished, owns the objects
// that serve clients (through ServiceStartup), and decides about windows, quitting and the full
// reset.
//
// Every way out goes through `requestTermination`: the user's quits are confirmed while a radio
// service runs; then the services are stopped (bounded), what is written behind is saved and
// the event loop ends.
//
// Main thread only.
class HelperAppDelegate final : public QObject, public AdvertisedName {
    Q_OBJECT
public:
    enum class QuitSource { user, signal, sessionEnd, reset };
    // Removes the Wine prefix as the settings' prefix reset does: the installers working in it
    // are ended and the prefix's hold is taken first, and the prefix is kept when that fails.
    using PrefixReset = std::function<QCoro::Task<ResetReport>()>;
    // Makes the About window the first time it is asked for.
    using WindowFactory = std::function<QWidget *()>;

    // `relaunch` starts the new instance after a reset, once this one is about to exit.
    HelperAppDelegate(const AppContext &context, MicrophonePermission &microphone, std::function<void()> relaunch,
                      PrefixReset resetPrefix, WindowFactory aboutWindow, QObject *parent = nullptr);
    ~HelperAppDelegate() override;

    ServiceStartup &startup() { return m_startup; }
    BonjourAdvertiser &bonjourAdvertiser() { return m_startup.bonjourAdvertiser(); }
    // The name the API is announced under: the registered one once known. Absent while nothing
    // is advertised.
    std::optional<QString> advertisedName() override;

    // The launch sequence. Alerts that start-up raises wait until it has finished.
    void applicationDidFinishLaunching();
    void showHTTPServerFailureAlert(int port, const QString &error);

    // Brings the existing management window forward; never makes one.
    void showManagementWindow();
    void showAboutWindow();

    // Another launch asked for the program: show the window when none is visible, else bring
    // the program forward.
    void handleReopen();
    void applicationDidBecomeActive();

    // Returns false when the user kept the program running.
    bool requestTermination(QuitSource source);
    bool isTerminating() const { return m_startup.isQuitting(); }

    void confirmAndResetAll();
    // Stops every service, clears pairing, the Wine prefix and the settings, then quits without
    // asking again; the new instance starts last.
    QCoro::Task<void> resetAllConfigurations();
private:
    void checkMicrophonePermission();
    void showMicrophoneDeniedAlert();
    // Shows now, or once start-up has finished.
    void presentWhenLaunched(std::function<void()> show);
    void presentDeferredAlerts();

    AppContext m_context;
    ServiceStartup m_startup;
    MicrophonePermission &m_microphone;
    bool m_hasShownHTTPFailureAlert = false;
    bool m_launching = false;
    std::vector<std::function<void()>> m_deferredAlerts;
    WindowFactory m_aboutFactory;
    PrefixReset m_resetPrefix;
    std::function<void()> m_relaunch;
    bool m_relaunchPending = false;
};

} // namespace cordavelle
