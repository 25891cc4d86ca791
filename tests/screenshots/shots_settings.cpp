#include "shots.h"

#include "widgets/alert_presenter.h"
#include "app/clients_page.h"
#include "app/reset_section.h"
#include "app/settings_view.h"
#include "core/experimental_features.h"

#include "support/task_outcome.h"
#include "support/scripted_alert_presenter.h"

#include <QMessageBox>

#include <memory>

namespace cordavelle::screenshots {

namespace {

using namespace std::chrono_literals;

const QString kHome = QStringLiteral("/home/ann");
const QString kPrefix = QStringLiteral("/home/ann/.local/share/Cordavelle Helper/wine-prefix");

// A client table of its own, so the scene's three pending requests stay as they are.
struct ClientsScene {
    explicit ClientsScene(ShotEnvironment &scene) : scene(scene), pairing(defaults, scene.env.clock(), scene.env.keychain(), scene.env.attention()) {}

    void add(const QString &host, const QString &platform, std::optional<PairingStatus> decision, bool claimed = true)
    {
        scene.env.clock().advance(2s); // past the rate limit of one address
        const QString id = host + QStringLiteral("-id");
        test::runToEnd(pairing.requestPairing(id, host, platform, QStringLiteral("192.168.1.50")));
        if (decision == PairingStatus::approved) {
            pairing.approve(id);
            if (claimed) {
                pairing.markTokenClaimed(id);
            }
        } else if (decision == PairingStatus::denied) {
            pairing.deny(id);
        }
    }

    QImage grab()
    {
        test::ScriptedAlertPresenter alerts;
        ClientsPage page(pairing, scene.env.clock(), alerts);
        return grabWindow(&page, {640, 420});
    }

    ShotEnvironment &scene;
    MemoryUserDefaults defaults{QStringLiteral("shots.clients")};
    PairingManager pairing;
};

QImage settingsWindow(ShotEnvironment &scene, ExperimentalFeatureManager &experimental)
{
    test::ScriptedAlertPresenter alerts;
    HelperSettingsView view({scene.config, experimental, scene.pairing, alerts, {}, {}, kPrefix, kHome});
    // Tall enough to show the whole form in one picture.
    return grabWindow(&view, {480, 1000});
}

QImage sheet(const ResetReport &report, bool fullReset)
{
    ResetResultSheet sheet(resetSheet(report, fullReset, kHome));
    return grabWindow(&sheet);
}

} // namespace

void addSettingsShots(ShotList &shots, ShotEnvironment &scene)
{
    shots.push_back({QStringLiteral("clients-empty"), [&scene] { return ClientsScene(scene).grab(); }});
    shots.push_back({QStringLiteral("clients-pending-and-approved"), [&scene] {
                         ClientsScene clients(scene);
                         clients.add(QStringLiteral("Shack-iPad"), QStringLiteral("iPadOS"), std::nullopt);
                         clients.add(QStringLiteral("field-laptop"), QStringLiteral("Linux"), PairingStatus::approved);
                         clients.add(QStringLiteral("kitchen-phone"), QStringLiteral("iOS"), PairingStatus::denied);
                         clients.pairing.updateLastSeen(QStringLiteral("field-laptop-id"));
                         clients.add(QStringLiteral("old-macbook"), QStringLiteral("macOS"), PairingStatus::approved);
                         scene.env.clock().advance(3h);
                         clients.pairing.updateLastSeen(QStringLiteral("field-laptop-id"));
                         return clients.grab();
                     }});
    shots.push_back({QStringLiteral("clients-unclaimed-approval-banner"), [&scene] {
                         ClientsScene clients(scene);
                         clients.add(QStringLiteral("Shack-iPad"), QStringLiteral("iPadOS"), PairingStatus::approved,
                                     false);
                         clients.add(QStringLiteral("field-laptop"), QStringLiteral("Linux"), std::nullopt);
                         return clients.grab();
                     }});
    shots.push_back({QStringLiteral("settings-defaults"), [&scene] {
                         MemoryUserDefaults defaults(QStringLiteral("shots.experimental"));
                         ExperimentalFeatureManager experimental(defaults);
                         return settingsWindow(scene, experimental);
                     }});
    shots.push_back({QStringLiteral("settings-network-experimental-unknown-delay"), [&scene] {
                         MemoryUserDefaults defaults(QStringLiteral("shots.experimental"));
                         ExperimentalFeatureManager experimental(defaults);
                         experimental.setWarningShown(true);
                         experimental.setMasterEnabled(true);
                         experimental.setEnabled(ExperimentalFeature::packetModem, true);
                         const bool network = scene.config.allowNetworkAccess();
                         const int delay = scene.config.idleShutdownDelay();
                         scene.config.setAllowNetworkAccess(true);
                         scene.config.setIdleShutdownDelay(10);
                         scene.config.setAppearanceMode(AppAppearanceMode::both);
                         QImage image = settingsWindow(scene, experimental);
                         scene.config.setAllowNetworkAccess(network);
                         scene.config.setIdleShutdownDelay(delay);
                         scene.config.setAppearanceMode(AppAppearanceMode::dock);
                         return image;
                     }});
    shots.push_back({QStringLiteral("settings-experimental-alert"), [] {
                         const auto box =
                             MessageBoxAlertPresenter::makeMessageBox(settings_model::ExperimentalSwitch::warningAlert());
                         return grabWindow(box.get());
                     }});
    shots.push_back({QStringLiteral("reset-everything-confirmation"), [] {
                         const auto box = MessageBoxAlertPresenter::makeMessageBox(
                             reset_texts::confirmationAlert(ResetLevel::everything, {}));
                         return grabWindow(box.get());
                     }});
    shots.push_back({QStringLiteral("reset-prefix-confirmation"), [] {
                         const auto box = MessageBoxAlertPresenter::makeMessageBox(
                             reset_texts::confirmationAlert(ResetLevel::prefix, displayPath(kPrefix, kHome)));
                         return grabWindow(box.get());
                     }});
    shots.push_back({QStringLiteral("reset-sheet-settings-complete"), [] {
                         return sheet({{},
                                       true, 3, true, {}},
                                      false);
                     }});
    shots.push_back({QStringLiteral("reset-sheet-nothing-to-do"), [] { return sheet({}, false); }});
    shots.push_back({QStringLiteral("reset-sheet-everything-with-warnings"), [] {
                         return sheet({{QStringLiteral("/home/ann/.local/share/Cordavelle Helper")},
                                       true,
                                       0,
                                       false,
                                       {QStringLiteral("Could not delete the pairing tokens: the desktop's keyring is locked"),
                                        QStringLiteral("Could not remove winetricks-tools: Permission denied")}},
                                      true);
                     }});
}

} // namespace cordavelle::screenshots
