#pragma once

#include "api/pairing_manager.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "radio/audio_device_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include "support/test_platform.h"

namespace cordavelle::test {

// The helper's long-lived model objects, wired as the application wires them, on a private
// test platform. They wait on the platform's clock of the moment, so a test may still switch to
// the system clock.
struct HelperObjects {
    TestPlatform env;
    ConfigStore config{env.defaults(), env.platform()};
    KeepaliveRequestAdvertiser keepalive{env.bonjour()};
    RigControlServerDiscovery discovery{env.bonjour(), env.currentClock()};
    AudioDeviceManager audio{env.audio()};
    ServiceOrchestrator orchestrator{config, keepalive, discovery, audio, env.currentClock(), env.notifications()};
    PairingManager pairing{env.defaults(), env.clock(), env.keychain(), env.attention()};
};

} // namespace cordavelle::test
