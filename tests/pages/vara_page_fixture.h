#pragma once

#include "pages/vara_page.h"

#include "base/helper_places.h"
#include "core/orchestrator_service_control.h"
#include "install/install_log.h"
#include "install/vara_installer.h"

#include "support/fixture_http_server.h"
#include "support/helper_objects.h"

#include <memory>

namespace cordavelle::test {

// The VARA pages over the helper's objects on a private platform, with both modems' installers
// reading a local downloads page that lists `kLatestHF` and `kLatestFM`.
struct VARAPageScene : HelperObjects {
    static inline const QString kLatestHF = QStringLiteral("4.8.9");
    static inline const QString kLatestFM = QStringLiteral("4.3.9");

    VARAPageScene()
    {
        env.useSystemClock();
        server.serve("/VARA%20Products/", "<html><a href=\"VARA%20HF%20" + kLatestHF.toUtf8() +
                                              "%20setup.zip\">HF</a> <a href=\"VARA%20FM%20" + kLatestFM.toUtf8() +
                                              "%20setup.zip\">FM</a></html>");
    }

    VARAInstaller &installer(VARAVariant variant) { return variant == VARAVariant::hf ? *hf : *fm; }

    std::unique_ptr<VARAPage> makePage(VARAVariant variant)
    {
        return std::make_unique<VARAPage>(orchestrator, config, env.currentClock(), variant, installer(variant));
    }

    FixtureHttpServer server;
    InstallLog installLog{env.clock(), env.log(), places::supportFolder()};
    OrchestratorServiceControl services{orchestrator};
    std::unique_ptr<VARAInstaller> hf = makeInstaller(VARAVariant::hf);
    std::unique_ptr<VARAInstaller> fm = makeInstaller(VARAVariant::fm);

private:
    std::unique_ptr<VARAInstaller> makeInstaller(VARAVariant variant)
    {
        return std::make_unique<VARAInstaller>(
            variant, VARAInstaller::Collaborators{config, env.platform().httpClient(), env.commands(), env.clock(),
                                                  installLog, services, prefixHold,
                                                  server.url(QStringLiteral("/VARA%20Products/"))});
    }
};

} // namespace cordavelle::test
