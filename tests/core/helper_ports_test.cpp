#include "core/config_store.h"
#include "core/service_orchestrator.h"

#include "support/orchestrator_fixture.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using HelperPortsTest = test::OrchestratorTest;

// A stored API port that can't be served is served at the default instead: that port is then the
// helper's own, and no rig-control server advertised there is taken.
TEST_F(HelperPortsTest, TheAPIsPortCountsAsTheHelpersOwnAlsoWhereItFallsBackToTheDefault)
{
    const struct {
        const char *what;
        qlonglong stored;
        quint16 served;
    } cases[] = {
        {"a port that can be served", 9123, 9123},
        {"port 0", 0, quint16(ConfigStore::kDefaultApiPort)},
        {"beyond the last port", 70000, quint16(ConfigStore::kDefaultApiPort)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        // Written by hand, as no setter stores a port that can't be served; read as at a launch.
        ASSERT_EQ(env.defaults().setObject(ConfigStore::Keys::kApiPort, c.stored), std::nullopt);
        config.reloadFromDefaults();
        EXPECT_TRUE(orchestrator->rigControlHelperPorts(DirewolfConfig{}).contains(c.served));
    }
}

} // namespace
} // namespace cordavelle
