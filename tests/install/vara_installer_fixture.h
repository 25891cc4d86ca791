#pragma once

#include "core/config_store.h"
#include "core/wine_prefix_hold.h"
#include "install/install_log.h"
#include "install/vara_installer.h"
#include "support/fixture_http_server.h"
#include "support/recording_service_control.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

namespace cordavelle::test {

// What the VARA installer's tests build on: a private platform that runs the real tools, the
// fixture server in place of the downloads page, and the installer's other collaborators.
class VARAInstallerFixture : public ::testing::Test {
protected:
    VARAInstallerFixture() { env.useSystemTools(); }

    VARAInstaller::Collaborators collaborators()
    {
        return {config,   env.platform().httpClient(), env.platform().commandRunner(), env.clock(), installLog,
                services, prefixHold,                  server.url("/VARA%20Products/")};
    }

    TestPlatform env;
    FixtureHttpServer server;
    ConfigStore config{env.defaults(), env.platform()};
    InstallLog installLog{env.clock(), env.log(), env.root() + "/logs"};
    RecordingServiceControl services;
    WinePrefixHold prefixHold;
};

} // namespace cordavelle::test
