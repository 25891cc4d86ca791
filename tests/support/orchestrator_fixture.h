#pragma once

#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "core/wine_prefix_hold.h"
#include "radio/audio_device_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include "support/child_processes.h"
#include "support/start_path_stand_ins.h"
#include "support/task_outcome.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

namespace cordavelle::test {

// The orchestrator and its collaborators on a private test platform, as the program wires them.
// It waits on the platform's clock and runs tools over its command runner of the moment, so a
// test may still switch either. Every child it launched is killed when the test ends.
class OrchestratorTest : public ::testing::Test {
protected:
    ~OrchestratorTest() override;

    // Kills every child noted and ends the orchestrator; a fixture whose start paths use members
    // of its own calls it before those go.
    void shutDown();

    // Notes the children of all four services from now on.
    void watchChildren();
    std::shared_ptr<TaskOutcome> start(ServiceID id);
    // Runs the test's clock until `done` holds, within `limit` of virtual time. While a child of
    // `id` is being launched, or is starting and `settled` does not hold yet (its stand-in
    // listens, or never will and its end is awaited), no virtual time passes: the child's start
    // takes real time, which the port wait would otherwise outrun.
    [[nodiscard]] bool runUntilSettled(ServiceID id, const std::function<bool()> &done, const std::function<bool()> &settled,
                         std::chrono::milliseconds limit = std::chrono::seconds(60));

    TestPlatform env;
    ConfigStore config{env.defaults(), env.platform()};
    KeepaliveRequestAdvertiser keepalive{env.bonjour()};
    RigControlServerDiscovery discovery{env.bonjour(), env.currentClock()};
    AudioDeviceManager audio{env.audio()};
    WinePrefixHold prefixHold;
    // The services whose start a test stands in for; the others start through their own path.
    StartPaths startPaths;
    std::unique_ptr<ServiceOrchestrator> orchestrator = std::make_unique<ServiceOrchestrator>(
        config, keepalive, discovery, audio, env.currentClock(), env.currentCommands(), env.platform().wineDrivers(),
        env.notifications(), prefixHold, standInsFrom(startPaths));
    ChildProcessGroups children;
};

} // namespace cordavelle::test
