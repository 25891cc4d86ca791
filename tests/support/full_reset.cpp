#include "support/full_reset.h"

#include "core/experimental_features.h"
#include "support/recording_service_control.h"
#include "support/task_outcome.h"
#include "support/test_platform.h"

namespace cordavelle::test {

namespace {

ResetReport reset(TestPlatform &env, ConfigStore &config, WinePrefixHold &prefixHold,
                  std::vector<HelperUninstaller::EndedInstaller> installers,
                  QCoro::Task<ResetReport> (HelperUninstaller::*level)())
{
    ExperimentalFeatureManager experimental(env.defaults());
    RecordingServiceControl services;
    Platform &platform = env.platform();
    HelperUninstaller uninstaller({config, experimental, services, env.defaults(), platform.keychain(), platform.loginItem(),
                                   platform.commandRunner(), {}, prefixHold, env.clock(), std::move(installers)});
    return runToEnd((uninstaller.*level)());
}

} // namespace

ResetReport resetEverything(TestPlatform &env, ConfigStore &config, WinePrefixHold &prefixHold,
                            std::vector<HelperUninstaller::EndedInstaller> installers)
{
    return reset(env, config, prefixHold, std::move(installers), &HelperUninstaller::resetEverything);
}

ResetReport resetWinePrefix(TestPlatform &env, ConfigStore &config, WinePrefixHold &prefixHold,
                            std::vector<HelperUninstaller::EndedInstaller> installers)
{
    return reset(env, config, prefixHold, std::move(installers), &HelperUninstaller::resetWinePrefix);
}

} // namespace cordavelle::test
