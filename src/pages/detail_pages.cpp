#include "pages/detail_pages.h"

#include "app/management_view.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "install/installer.h"
#include "install/legacy_direwolf_cleanup.h"
#include "install/vara_installer.h"
#include "pages/direwolf_conf_regenerator.h"
#include "pages/direwolf_page.h"
#include "pages/program_dialog.h"
#include "pages/rigctld_page.h"
#include "pages/vara_page.h"
#include "radio/audio_device_manager.h"
#include "radio/direwolf_config_manager.h"
#include "radio/direwolf_discovery.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/serial_port_manager.h"

#include <QFileDialog>

namespace cordavelle {

namespace {

// An open panel for one program file, hidden files shown; the chosen path, or empty.
QString chooseProgram(QWidget *parent, const QString &title, const QString &message, const QString &folder)
{
    const std::unique_ptr<QFileDialog> dialog = makeProgramDialog(parent, title, message, folder);
    if (dialog->exec() != QDialog::Accepted || dialog->selectedFiles().isEmpty()) {
        return {};
    }
    return dialog->selectedFiles().constFirst();
}

QString chooseDirewolfBinary(QWidget *parent, const QString &folder)
{
    return chooseProgram(parent, QStringLiteral("Choose a direwolf binary"),
                         QStringLiteral("Pick the direwolf executable the Helper should launch."), folder);
}

QString chooseRigctldBinary(QWidget *parent, const QString &folder)
{
    return chooseProgram(parent, QStringLiteral("Choose a rigctld binary"),
                         QStringLiteral("Pick the rigctld executable the Helper should launch. Typical locations: "
                                        "/usr/bin/, /usr/local/bin/, or a custom install directory."),
                         folder);
}

} // namespace

void installDetailPages(ManagementView &view, const ServicePagesContext &context)
{
    ConfigStore &config = context.config;
    RigControlServerDiscovery &rigControl = context.rigControl;
    AudioDeviceManager &audio = context.audio;
    auto *regenerator = new DirewolfConfRegenerator(
        config, context.clock,
        [&config, &rigControl, &audio](const DirewolfConfig &snapshot) {
            DirewolfConfigManager::Environment environment;
            environment.rigctldPort = config.rigctldConfig().tcpPort;
            environment.audio = &audio;
            environment.discovery = &rigControl;
            DirewolfConfigManager::writeConfig(snapshot, environment);
        },
        &view);
    view.setPageFactory(SidebarSection::varaHF, [&context](ManagementView &) -> QWidget * {
        return new VARAPage(context.orchestrator, context.config, context.clock, VARAVariant::hf, context.varaHF);
    });
    view.setPageFactory(SidebarSection::varaFM, [&context](ManagementView &) -> QWidget * {
        return new VARAPage(context.orchestrator, context.config, context.clock, VARAVariant::fm, context.varaFM);
    });
    view.setPageFactory(SidebarSection::direwolf, [&context, regenerator](ManagementView &) -> QWidget * {
        DirewolfDiscovery &discovery = context.direwolfDiscovery;
        return new DirewolfPage({context.orchestrator, context.config, context.clock, context.audio, discovery,
                                 context.rigControl, context.keepalive, context.legacyDirewolf, context.defaults, *regenerator,
                                 context.alerts, [] { return SerialPortManager::listPorts(); }, chooseDirewolfBinary,
                                 [&discovery](const QString &command) { discovery.runInTerminal(command); }});
    });
    view.setPageFactory(SidebarSection::rigctld, [&context](ManagementView &) -> QWidget * {
        return new RigctldPage({context.orchestrator, context.config, context.commands, context.clock,
                                [] { return SerialPortManager::listPorts(); }, [] { return tools::findRigctld(); },
                                chooseRigctldBinary, &context.hamlib});
    });
}

} // namespace cordavelle
