#include "pages/detail_pages.h"

#include "app/management_view.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "install/installer.h"
#include "install/legacy_direwolf_cleanup.h"
#include "install/vara_installer.h"
#include "pages/direwolf_conf_regenerator.h"
#include "pages/direwolf_page.h"
#include "pages/rigctld_page.h"
#include "pages/vara_page.h"
#include "radio/audio_device_manager.h"
#include "radio/direwolf_config_manager.h"
#include "radio/direwolf_discovery.h"
#include "radio/keepalive_request_advertiser.h"

namespace cordavelle {

void installDetailPages(ManagementView &view, const ServicePagesContext &context)
{
    ConfigStore &config = context.config;
    RigControlServerDiscovery &rigControl = context.rigControl;
    AudioDeviceManager &audio = context.audio;
    ServiceOrchestrator &orchestrator = context.orchestrator;
    auto *regenerator = new DirewolfConfRegenerator(
        config, context.clock,
        [&config, &rigControl, &audio, &orchestrator](const DirewolfConfig &snapshot) {
            DirewolfConfigManager::Environment environment;
            environment.rigctldPort = config.rigctldConfig().tcpPort;
            environment.audio = &audio;
            environment.discovery = &rigControl;
            environment.helperPorts = orchestrator.rigControlHelperPorts(snapshot);
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
                                 context.rigControl, context.keepalive, context.legacyDirewolf, context.defaults,
                                 *regenerator, context.alerts, context.surroundings});
    });
    view.setPageFactory(SidebarSection::rigctld, [&context](ManagementView &) -> QWidget * {
        return new RigctldPage({context.orchestrator, context.config, context.commands, context.clock,
                                context.surroundings, context.alerts, &context.hamlib});
    });
}

} // namespace cordavelle
