#include "api/pairing_manager.h"
#include "app/service_startup.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_discovery.h"

#include "support/test_platform.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

// A stored port of 0 must not leave the helper without its API: it serves on the default port.
// The default port is fixed, so this test runs alone.
TEST(ServiceStartupDefaultPort, PortZeroFallsBackToTheDefaultPortWithAWarning)
{
    test::TestPlatform env;
    ConfigStore config(env.defaults());
    KeepaliveRequestAdvertiser keepalive;
    RigControlServerDiscovery discovery;
    ServiceOrchestrator orchestrator(config, keepalive, discovery);
    PairingManager pairing(env.defaults(), env.clock());
    ServiceStartup startup(config, orchestrator, pairing, discovery);

    config.setApiPort(0);
    startup.startServices();
    EXPECT_EQ(startup.httpServer().port(), HTTPServer::defaultPort);
    EXPECT_TRUE(env.log().contains("apiPort 0 is not a usable port; serving on 8380 instead"));
}

} // namespace
} // namespace cordavelle
