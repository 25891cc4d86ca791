#pragma once

#include "base/service_model.h"

namespace cordavelle {

class DependencyUpdateNudge;
class DirewolfDiscovery;
class DirewolfInstaller;
class HamlibInstaller;
class VARAInstaller;
class WineInstaller;
class WinePrefixManager;

// The installers that the setup checklist and the first-run wizard drive and follow. Both
// surfaces work on the same objects, so an install started on one shows its progress on the other.
struct SetupInstallers {
    WineInstaller &wine;
    WinePrefixManager &prefix;
    VARAInstaller &varaHF;
    VARAInstaller &varaFM;
    HamlibInstaller &hamlib;
    DirewolfInstaller &direwolf;
    DirewolfDiscovery &direwolfDiscovery;
    DependencyUpdateNudge &updateNudge;

    VARAInstaller &vara(VARAVariant variant) const { return variant == VARAVariant::hf ? varaHF : varaFM; }
};

} // namespace cordavelle
