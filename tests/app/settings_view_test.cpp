#include "app/settings_model.h"
#include "app/settings_view.h"

#include "api/pairing_manager.h"
#include "core/config_store.h"
#include "core/experimental_features.h"
#include "support/task_outcome.h"
#include "support/fake_login_item.h"
#include "support/recording_app_activation.h"
#include "widgets/setting_note.h"

#include "support/refusing_defaults.h"
#include "support/scripted_alert_presenter.h"
#include "support/test_platform.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QKeyEvent>

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
    test::runToEnd(pairing.requestPairing("a", "a.local", "macOS", "10.0.0.1"));
    test::runToEnd(pairing.requestPairing("b", "b.local", "iOS", "10.0.0.2"));
    HelperSettingsView view({config, experimental, pairing, alerts, {}, {}, {}, {}});
    QCheckBox *require = switchNamed(view, "Require Client Pairing");
    ASSERT_NE(require, nullptr);
    ASSERT_TRUE(require->isChecked());

    // Pairing stays required while the settings cannot be written, and nobody is let in.
    defaults.refusal = "No space left on device";
    require->click();
    EXPECT_TRUE(require->isChecked());
    EXPECT_EQ(pairing.pendingCount(), 2);
    EXPECT_EQ(SettingNote::of(require)->shown(), "No space left on device. The setting stays as it was.");
    EXPECT_TRUE(alerts.shown.empty());
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
    test::RefusingDefaults defaults;
    test::FakeLoginItem loginItem;
    test::RecordingAppActivation activation;
    ConfigStore config{defaults, env.platform(), loginItem, activation};
    ExperimentalFeatureManager experimental{defaults};
    PairingManager pairing{defaults, env.clock(), env.keychain(), env.attention()};
    test::ScriptedAlertPresenter alerts;
    HelperSettingsView view{{config, experimental, pairing, alerts, {}, {}, {}, {}}};
};

TEST(SettingsViewWidget, AFailedLoginItemRegistrationPutsTheSwitchBackAndSaysWhy)
{
    SettingsWindowScene scene;
    auto &[env, defaults, loginItem, activation, config, experimental, pairing, alerts, view] = scene;
    QApplication::processEvents();

    loginItem.registerError = QStringLiteral("The autostart folder is read-only.");
    QCheckBox *launch = switchNamed(view, "Launch at Login");
    ASSERT_NE(launch, nullptr);
    launch->click();
    QApplication::processEvents();
    EXPECT_FALSE(launch->isChecked());
    EXPECT_FALSE(config.launchAtLogin());
    EXPECT_EQ(SettingNote::of(launch)->shown(), "The autostart folder is read-only. The setting stays as it was.");

    loginItem.registerError.reset();
    launch->click();
    QApplication::processEvents();
    EXPECT_TRUE(launch->isChecked());
    EXPECT_TRUE(config.launchAtLogin());
    EXPECT_EQ(SettingNote::of(launch)->shown(), QString());
    EXPECT_TRUE(alerts.shown.empty());
}

void pressKey(QWidget *widget, int key, const QString &text = {})
{
    QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(widget, &event);
}

// The field a form row puts after `label`.
template <class Field>
Field *fieldLabeled(QWidget &view, const QString &label)
{
    for (QFormLayout *form : view.findChildren<QFormLayout *>()) {
        for (Field *field : view.findChildren<Field *>()) {
            const auto *caption = qobject_cast<QLabel *>(form->labelForField(field));
            if (caption && caption->text() == label) {
                return field;
            }
        }
    }
    return nullptr;
}

// While the settings cannot be written, every control goes back to what is stored and says why.
TEST(SettingsViewWidget, AChangeThatCannotBeSavedPutsTheControlBackAndSaysWhy)
{
    SettingsWindowScene scene;
    // Plain references, not a structured binding: the controls' lambdas capture them.
    ConfigStore &config = scene.config;
    ExperimentalFeatureManager &experimental = scene.experimental;
    HelperSettingsView &view = scene.view;
    test::RefusingDefaults &defaults = scene.defaults;
    test::ScriptedAlertPresenter &alerts = scene.alerts;
    QApplication::processEvents();
    auto *network = switchNamed(view, "Allow Network Access");
    auto *experiments = switchNamed(view, "Enable Experimental Features");
    auto *name = fieldLabeled<QLineEdit>(view, "Service Name");
    auto *port = fieldLabeled<QLineEdit>(view, "API Port");
    auto *idle = fieldLabeled<QComboBox>(view, "Idle Shutdown Delay");
    ASSERT_TRUE(network && experiments && name && port && idle);
    const auto radio = [&](AppAppearanceMode mode) {
        for (QRadioButton *option : view.findChildren<QRadioButton *>()) {
            if (option->text() == displayName(mode)) {
                return option;
            }
        }
        return static_cast<QRadioButton *>(nullptr);
    };
    const AppAppearanceMode other =
        config.appearanceMode() == AppAppearanceMode::menuBar ? AppAppearanceMode::dock : AppAppearanceMode::menuBar;
    ASSERT_TRUE(radio(other));

    auto *pairingSwitch = switchNamed(view, "Require Client Pairing");
    ASSERT_TRUE(pairingSwitch);
    struct Control {
        QWidget *control;
        std::function<void()> change;
        std::function<bool()> showsStored;
        QString outcome = "The setting stays as it was.";
    };
    const Control controls[] = {
        {network, [&] { network->click(); }, [&] { return network->isChecked() == config.allowNetworkAccess(); }},
        {radio(other), [&] { radio(other)->click(); }, [&] { return radio(config.appearanceMode())->isChecked(); }},
        {name, [&] { pressKey(name, Qt::Key_X, "x"); }, [&] { return name->text() == config.serviceName(); }},
        {port,
         [&] {
             port->selectAll();
             for (const char *digit : {"9", "0", "0", "1"}) {
                 pressKey(port, Qt::Key_0 + digit[0] - '0', digit);
             }
             pressKey(port, Qt::Key_Return);
         },
         [&] { return port->text() == QString::number(config.apiPort()); }, "The port stays as it was."},
        {pairingSwitch, [&] { pairingSwitch->click(); },
         [&] { return pairingSwitch->isChecked() == config.requirePairing(); }},
        {idle, [&] { pressKey(idle, Qt::Key_Down); },
         [&] { return idle->currentIndex() == idleDelayIndex(config.idleShutdownDelay()); }},
        {experiments, [&] { experiments->click(); },
         [&] { return !experiments->isChecked() && !experimental.masterEnabled(); }},
    };
    const auto stored = [&store = config] {
        return std::tuple(store.allowNetworkAccess(), store.appearanceMode(), store.serviceName(), store.apiPort(),
                          store.requirePairing(), store.idleShutdownDelay());
    };
    const auto before = stored();
    defaults.refusal = QStringLiteral("Permission denied");
    for (const Control &control : controls) {
        SCOPED_TRACE(control.control->metaObject()->className());
        control.change();
        QApplication::processEvents();
        EXPECT_TRUE(control.showsStored());
        ASSERT_NE(SettingNote::of(control.control), nullptr);
        EXPECT_EQ(SettingNote::of(control.control)->shown(), "Permission denied. " + control.outcome);
    }
    // Only the question before experiments are first turned on.
    for (const Alert &alert : alerts.shown) {
        EXPECT_EQ(alert.message, "Enable Experimental Features?");
    }
    EXPECT_EQ(stored(), before);

    // The next change that is stored takes the words away.
    defaults.refusal.reset();
    pressKey(name, Qt::Key_Y, "y");
    EXPECT_EQ(SettingNote::of(name)->shown(), QString());
    EXPECT_EQ(config.serviceName(), name->text());
}

// A port the helper could not listen on is refused at once, with the reason under the field,
// rather than failing the next start; the stored port stays and comes back into the field.
TEST(SettingsViewWidget, TheAPIPortFieldRefusesAPortTheHelperCouldNotListenOnAndSaysWhy)
{
    SettingsWindowScene scene;
    ConfigStore &config = scene.config;
    HelperSettingsView &view = scene.view;
    QApplication::processEvents();
    auto *port = fieldLabeled<QLineEdit>(view, "API Port");
    ASSERT_NE(port, nullptr);
    const auto reasonShown = [&view]() -> QString {
        for (const QLabel *label : view.findChildren<QLabel *>()) {
            if (!label->isHidden() && label->text().endsWith("The port stays as it was.")) {
                return label->text();
            }
        }
        return {};
    };
    const QString reserved = "Port %1 is below 1024: only the system may listen on it. Enter a port from 1024 to "
                             "65535. The port stays as it was.";
    const QString noPort = "Enter a whole number from 1 to 65535. The port stays as it was.";
    const std::pair<QString, QString> cases[] = {
        {"79", reserved.arg(79)}, {"80", reserved.arg(80)}, {"1023", reserved.arg(1023)},
        {"1024", {}},             {"8380", {}},             {"65535", {}},
        {"0", noPort},            {"70000", noPort},
    };
    for (const auto &[typed, reason] : cases) {
        SCOPED_TRACE(typed.toStdString());
        const int before = config.apiPort();
        port->selectAll();
        for (const QChar digit : typed) {
            pressKey(port, Qt::Key_0 + digit.digitValue(), digit);
        }
        pressKey(port, Qt::Key_Return);
        QApplication::processEvents();
        EXPECT_EQ(config.apiPort(), reason.isEmpty() ? typed.toInt() : before);
        EXPECT_EQ(port->text(), QString::number(config.apiPort()));
        EXPECT_EQ(reasonShown(), reason);
    }
    EXPECT_TRUE(scene.alerts.shown.empty());
}

// A screen reader toggles without clicking; the setting must follow all the same.
TEST(SettingsViewWidget, SwitchesStoreWhatAssistiveTechnologyToggles)
{
    SettingsWindowScene scene;
    auto &[env, defaults, loginItem, activation, config, experimental, pairing, alerts, view] = scene;
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
