#include "app/settings_model.h"
#include "app/settings_view.h"

#include "api/pairing_manager.h"
#include "core/config_store.h"
#include "core/experimental_features.h"
#include "support/fake_login_item.h"
#include "support/recording_app_activation.h"
#include "support/refusing_defaults.h"
#include "support/scripted_alert_presenter.h"
#include "support/test_platform.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QRadioButton>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace settings_model;

TEST(SettingsModel, IdleDelayOptionsWarningPairingAndPort)
{
    EXPECT_EQ(idleDelayIndex(0), 0);
    EXPECT_EQ(idleDelayIndex(30), 4);
    EXPECT_EQ(idleDelayIndex(-1), 5);
    EXPECT_EQ(idleDelayIndex(10), std::nullopt);
    EXPECT_EQ(idleDelayOptions()[5].minutes, -1);

    EXPECT_TRUE(showsPairingWarning(true, true));
    EXPECT_FALSE(showsPairingWarning(true, false));
    EXPECT_FALSE(showsPairingWarning(false, true));

    EXPECT_TRUE(approvesAllPending(true, false));
    EXPECT_FALSE(approvesAllPending(false, false)); // opened with pairing already off
    EXPECT_FALSE(approvesAllPending(false, true));
}

TEST(SettingsModel, ExperimentalMasterSwitchAsksOnceBeforeTheFirstEnable)
{
    MemoryUserDefaults defaults("test");
    ExperimentalFeatureManager manager(defaults);
    ExperimentalSwitch master(manager);

    EXPECT_TRUE(master.flip(true));
    EXPECT_TRUE(master.warningPending());
    EXPECT_FALSE(manager.masterEnabled());
    master.answerWarning(false); // Cancel
    EXPECT_FALSE(manager.masterEnabled());
    EXPECT_FALSE(manager.warningShown());

    EXPECT_TRUE(master.flip(true)); // asks again
    master.answerWarning(true);
    EXPECT_TRUE(manager.warningShown());
    EXPECT_TRUE(manager.masterEnabled());

    EXPECT_FALSE(master.flip(false));
    EXPECT_FALSE(manager.masterEnabled());
    EXPECT_FALSE(master.flip(true)); // no second alert
    EXPECT_TRUE(manager.masterEnabled());
}

QCheckBox *switchNamed(QWidget &view, const QString &text)
{
    for (QCheckBox *box : view.findChildren<QCheckBox *>()) {
        if (box->text() == text) {
            return box;
        }
    }
    return nullptr;
}

TEST(SettingsViewWidget, SwitchingPairingOffLetsTheWaitingClientsIn)
{
    test::TestPlatform env;
    test::RefusingDefaults defaults;
    ConfigStore config(defaults, env.platform());
    ExperimentalFeatureManager experimental(env.defaults());
    PairingManager pairing(defaults, env.clock(), env.keychain(), env.attention());
    test::ScriptedAlertPresenter alerts;
    pairing.requestPairing("a", "a.local", "macOS", "10.0.0.1");
    pairing.requestPairing("b", "b.local", "iOS", "10.0.0.2");
    HelperSettingsView view({config, experimental, pairing, alerts, {}, {}, {}, {}});
    QCheckBox *require = switchNamed(view, "Require Client Pairing");
    ASSERT_NE(require, nullptr);
    ASSERT_TRUE(require->isChecked());

    // Pairing stays required while the settings cannot be written, and nobody is let in.
    defaults.refusal = "No space left on device";
    require->click();
    EXPECT_TRUE(require->isChecked());
    EXPECT_EQ(pairing.pendingCount(), 2);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].message, "Client pairing could not be turned off");
    EXPECT_EQ(alerts.shown[0].informativeText, "Could not save the settings \u2014 No space left on device");
    defaults.refusal.reset();

    require->click();
    EXPECT_FALSE(config.requirePairing());
    EXPECT_EQ(pairing.pendingCount(), 0);
    require->click();
    EXPECT_TRUE(config.requirePairing());
    EXPECT_EQ(pairing.clients().at(0).status, PairingStatus::approved);
}

// The settings window over its own store, with a login item the test steers.
struct SettingsWindowScene {
    test::TestPlatform env;
    test::FakeLoginItem loginItem;
    test::RecordingAppActivation activation;
    ConfigStore config{env.defaults(), env.platform(), loginItem, activation};
    ExperimentalFeatureManager experimental{env.defaults()};
    PairingManager pairing{env.defaults(), env.clock(), env.keychain(), env.attention()};
    test::ScriptedAlertPresenter alerts;
    HelperSettingsView view{{config, experimental, pairing, alerts, {}, {}, {}, {}}};
};

TEST(SettingsViewWidget, AFailedLoginItemRegistrationPutsTheSwitchBackAndSaysWhy)
{
    SettingsWindowScene scene;
    auto &[env, loginItem, activation, config, experimental, pairing, alerts, view] = scene;
    QApplication::processEvents();

    loginItem.registerError = QStringLiteral("The autostart folder is read-only.");
    QCheckBox *launch = switchNamed(view, "Launch at Login");
    ASSERT_NE(launch, nullptr);
    launch->click();
    QApplication::processEvents();
    EXPECT_FALSE(launch->isChecked());
    EXPECT_FALSE(config.launchAtLogin());
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].informativeText, "The autostart folder is read-only.");

    loginItem.registerError.reset();
    launch->click();
    QApplication::processEvents();
    EXPECT_TRUE(launch->isChecked());
    EXPECT_TRUE(config.launchAtLogin());
    EXPECT_EQ(alerts.shown.size(), 1u);
}

// A screen reader toggles without clicking; the setting must follow all the same.
TEST(SettingsViewWidget, SwitchesStoreWhatAssistiveTechnologyToggles)
{
    SettingsWindowScene scene;
    auto &[env, loginItem, activation, config, experimental, pairing, alerts, view] = scene;
    const auto toggle = [](QAbstractButton *button) {
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(button);
        ASSERT_TRUE(face && face->actionInterface());
        face->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
        QApplication::processEvents();
    };
    const std::vector<std::pair<QString, std::function<bool()>>> switches{
        {"Launch at Login", [&store = config] { return store.launchAtLogin(); }},
        {"Allow Network Access", [&store = config] { return store.allowNetworkAccess(); }},
        {"Require Client Pairing", [&store = config] { return store.requirePairing(); }},
    };
    for (const auto &[name, stored] : switches) {
        QCheckBox *box = switchNamed(view, name);
        ASSERT_NE(box, nullptr) << name.toStdString();
        const bool before = stored();
        toggle(box);
        EXPECT_EQ(stored(), !before) << name.toStdString();
        EXPECT_EQ(box->isChecked(), !before) << name.toStdString();
    }
    EXPECT_EQ(loginItem.calls, QStringList{"register"});

    QRadioButton *menuBar = nullptr;
    for (QRadioButton *option : view.findChildren<QRadioButton *>()) {
        menuBar = option->text() == displayName(AppAppearanceMode::menuBar) ? option : menuBar;
    }
    ASSERT_NE(menuBar, nullptr);
    toggle(menuBar);
    EXPECT_EQ(config.appearanceMode(), AppAppearanceMode::menuBar);
}

} // namespace
} // namespace cordavelle
