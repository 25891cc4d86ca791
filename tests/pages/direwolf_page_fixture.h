#pragma once

#include "install/legacy_direwolf_cleanup.h"
#include "pages/direwolf_conf_regenerator.h"
#include "pages/direwolf_page.h"
#include "radio/direwolf_config_manager.h"
#include "radio/direwolf_discovery.h"

#include "support/fake_bonjour.h"
#include "support/helper_objects.h"
#include "support/scripted_alert_presenter.h"
#include "support/scripted_page_surroundings.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>

#include <memory>

namespace cordavelle::test {

// The Direwolf page over the helper's objects on a private platform: what it runs in a terminal,
// the file it would pick and the serial ports it lists are the test's.
struct DirewolfPageScene : HelperObjects, ScriptedPageSurroundings {
    DirewolfPageScene()
    {
        regenerator = std::make_unique<DirewolfConfRegenerator>(config, env.currentClock(), [this](const DirewolfConfig &c) {
            DirewolfConfigManager::Environment environment;
            environment.rigctldPort = config.rigctldConfig().tcpPort;
            environment.audio = &audio;
            environment.discovery = &discovery;
            DirewolfConfigManager::writeConfig(c, environment);
        });
    }

    std::unique_ptr<DirewolfPage> makePage()
    {
        return std::make_unique<DirewolfPage>(DirewolfPageContext{
            orchestrator, config, env.currentClock(), audio, direwolfDiscovery, discovery, keepalive, legacyCleanup,
            env.defaults(), *regenerator, alerts, *this});
    }

    // The client advertises a rig-control server for `radio`.
    void advertise(const QString &radio, quint16 port)
    {
        const QString type = QStringLiteral("_cordavelle-rigcontrol._tcp");
        discovery.startBrowsing();
        QCoreApplication::processEvents();
        env.bonjour().setResults(type, {FakeBonjour::result(radio + QStringLiteral(" server"), type,
                                                            BonjourTxtRecord({{QStringLiteral("radio"), radio},
                                                                              {QStringLiteral("port"), QString::number(port)}}))});
        QCoreApplication::processEvents();
    }

    DirewolfDiscovery direwolfDiscovery{env.terminal()};
    QStringList binariesInUse;
    LegacyDirewolfCleanup legacyCleanup{env.defaults(), [this] { return binariesInUse; }};
    ScriptedAlertPresenter alerts;
    std::unique_ptr<DirewolfConfRegenerator> regenerator;

    // The commands the page ran in a terminal: the command line of each script it was given.
    QStringList terminalCommands()
    {
        QStringList commands;
        for (const QString &script : env.terminal().scripts) {
            commands << script.section(QLatin1Char('\n'), 8, 8);
        }
        return commands;
    }
};

// Types `text` into a field key by key, as a user would.
inline void typeInto(QLineEdit *field, const QString &text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(field, &press);
    }
}

} // namespace cordavelle::test
