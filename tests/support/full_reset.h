#pragma once

#include "install/helper_uninstaller.h"

#include <vector>

namespace cordavelle {
class ConfigStore;
class WinePrefixHold;
} // namespace cordavelle

namespace cordavelle::test {

class TestPlatform;

// Resets everything on `env`, ending `installers` first, as the reset window does; returns the
// report once the reset has ended.
ResetReport resetEverything(TestPlatform &env, ConfigStore &config, WinePrefixHold &prefixHold,
                            std::vector<HelperUninstaller::EndedInstaller> installers);
// The same for the level of the Wine prefix.
ResetReport resetWinePrefix(TestPlatform &env, ConfigStore &config, WinePrefixHold &prefixHold,
                            std::vector<HelperUninstaller::EndedInstaller> installers);

} // namespace cordavelle::test
