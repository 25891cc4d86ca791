#include "startup/service_startup.h"

#include "support/fixed_port_lock.h"
#include "support/helper_objects.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

// A stored port of 0 must not leave the helper without its API: it serves on the default port.
// The default port is fixed, so this test runs alone, also against the tests of other runs.
TEST(ServiceStartupDefaultPort, PortZeroFallsBackToTheDefaultPortWithAWarning)
{
    test::FixedPortLock port{quint16(ConfigStore::kDefaultApiPort)};
    ASSERT_TRUE(port.held());
    test::HelperObjects helper;
    ServiceStartup startup(helper.config, helper.orchestrator, helper.pairing, helper.discovery, helper.env.platform());

    // Written by hand, as no setter stores it.
    ASSERT_EQ(helper.env.defaults().setObject(ConfigStore::Keys::kApiPort, qlonglong(0)), std::nullopt);
    helper.config.reloadFromDefaults();
    ASSERT_EQ(helper.config.apiPort(), 0);
    startup.startServices();
    EXPECT_EQ(startup.httpServer().port(), ConfigStore::kDefaultApiPort);
    EXPECT_TRUE(helper.env.log().contains("apiPort 0 is not a usable port; serving on 8380 instead"));
}

} // namespace
} // namespace cordavelle
