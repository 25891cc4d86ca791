#pragma once

#include "pages/detail_pages.h"
#include "pages/page_surroundings.h"
#include "setup/setup_views.h"
#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "core/orchestrator_service_control.h"
#include "install/dependency_update_nudge.h"
#include "install/direwolf_installer.h"
#include "install/hamlib_installer.h"
#include "install/install_log.h"
#include "install/legacy_direwolf_cleanup.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"
#include "radio/direwolf_discovery.h"

#include "support/helper_objects.h"

namespace cordavelle::test {

// The installers the setup surfaces drive, over the objects of `helper` and its platform, as the
// program wires its shared ones. The update nudge checks nothing unless a test gives it lookups.
struct SetupObjects {
    explicit SetupObjects(HelperObjects &helper, DependencyUpdateNudge::Lookups lookups = {})
        : helper(helper), updateNudge(helper.env.defaults(), std::move(lookups))
    {
    }

    SetupInstallers installers() { return {wine, prefix, varaHF, varaFM, hamlib, direwolf, direwolfDiscovery, updateNudge}; }
    // What the setup surfaces and the services' pages work with, as the application hands it on.
    SetupContext setupContext(AlertPresenter &alerts, HelperSetupState &state)
    {
        return {installers(), helper.config, helper.env.defaults(), alerts, state, platform.appActivation()};
    }
    ServicePagesContext pagesContext(AlertPresenter &alerts)
    {
        return {helper.orchestrator,
                helper.config,
                helper.discovery,
                helper.env.defaults(),
                alerts,
                helper.env.currentClock(),
                helper.env.currentCommands(),
                helper.audio,
                helper.keepalive,
                legacyDirewolf,
                varaHF,
                varaFM,
                hamlib,
                direwolfDiscovery,
                surroundings};
    }

    HelperObjects &helper;
    Platform &platform = helper.env.platform();
    InstallLog installLog{helper.env.clock(), helper.env.log(), places::supportFolder()};
    OrchestratorServiceControl services{helper.orchestrator};
    WineInstaller wine{helper.config, installLog, platform, services, helper.prefixHold};
    InstalledPrefixTools prefixTools{wine};
    WinePrefixManager prefix{{helper.config, installLog, services, helper.prefixHold, helper.env.currentClock(),
                              platform.toolLocator(), places::winePrefix(), prefixTools}};
    VARAInstaller varaHF{VARAVariant::hf, varaCollaborators()};
    VARAInstaller varaFM{VARAVariant::fm, varaCollaborators()};
    HamlibInstaller hamlib{helper.config, helper.env.defaults(), platform.httpClient(), platform.commandRunner(),
                           platform.systemInfo(), helper.env.currentClock(), platform.remoteServices(), installLog};
    DirewolfInstaller direwolf{helper.env.defaults()};
    DirewolfDiscovery direwolfDiscovery{helper.env.terminal()};
    DependencyUpdateNudge updateNudge;
    SystemPageSurroundings surroundings;
    LegacyDirewolfCleanup legacyDirewolf{helper.env.defaults(), [this] {
        return LegacyDirewolfCleanup::direwolfBinariesInUse(helper.config, helper.orchestrator, helper.env.currentCommands());
    }};

private:
    VARAInstaller::Collaborators varaCollaborators()
    {
        return {helper.config, platform.httpClient(), platform.commandRunner(), helper.env.currentClock(), installLog,
                services,      helper.prefixHold,   platform.remoteServices().varaDownloadsPage()};
    }
};

} // namespace cordavelle::test
