#pragma once

#include "api/pairing_manager.h"
#include "core/config_store.h"
#include "core/experimental_features.h"
#include "core/service_orchestrator.h"
#include "core/wine_prefix_hold.h"
#include "radio/audio_device_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include "support/child_processes.h"
#include "support/start_path_stand_ins.h"
#include "support/test_platform.h"

namespace cordavelle::test {

// Kills, when it goes, every child that the services of `orchestrator` launched meanwhile, with
// what each started: the orchestrator leaves its children running when it goes, and a test that
// ends half-way (or stops only the service it is about) would leave them for good.
class ServiceChildrenEndWithTheTest {
public:
    explicit ServiceChildrenEndWithTheTest(const ServiceOrchestrator &orchestrator)
    {
        for (ServiceID id : allCases<ServiceID>()) {
            m_children.watch(orchestrator.process(id));
        }
    }
    ~ServiceChildrenEndWithTheTest() { m_children.killAll(); }
    ServiceChildrenEndWithTheTest(const ServiceChildrenEndWithTheTest &) = delete;
    ServiceChildrenEndWithTheTest &operator=(const ServiceChildrenEndWithTheTest &) = delete;

private:
    ChildProcessGroups m_children;
};

// The helper's long-lived model objects, wired as the application wires them, on a private
// test platform. They wait on the platform's clock of the moment, so a test may still switch to
// the system clock.
struct HelperObjects {
    TestPlatform env;
    ConfigStore config{env.defaults(), env.platform()};
    KeepaliveRequestAdvertiser keepalive{env.bonjour()};
    RigControlServerDiscovery discovery{env.bonjour(), env.currentClock()};
    AudioDeviceManager audio{env.audio()};
    // Shared by the orchestrator and the installers, as the program shares its one.
    WinePrefixHold prefixHold;
    // The services whose start a test stands in for; the others start through their own path.
    StartPaths startPaths;
    ServiceOrchestrator orchestrator{config,
                                     keepalive,
                                     discovery,
                                     audio,
                                     env.currentClock(),
                                     env.currentCommands(),
                                     env.platform().wineDrivers(),
                                     env.notifications(),
                                     prefixHold,
                                     standInsFrom(startPaths)};
    ServiceChildrenEndWithTheTest serviceChildren{orchestrator};
    PairingManager pairing{env.defaults(), env.clock(), env.currentKeychain(), env.attention()};
};

} // namespace cordavelle::test
