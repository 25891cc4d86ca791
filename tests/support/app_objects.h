#pragma once

#include "app/helper_app.h"
#include "app/helper_setup_state.h"
#include "app/microphone_permission.h"
#include "app/settings_opener.h"
#include "main/helper_pages.h"

#include "support/scripted_alert_presenter.h"
#include "support/setup_objects.h"

#include <functional>
#include <memory>

namespace cordavelle::test {

// Grants the microphone unless a test has it refused when asked.
class MicrophoneDouble final : public MicrophonePermission {
public:
    Status status() const override { return refuses ? Status::notDetermined : Status::authorized; }
    void requestAccess(std::function<void(bool)> answer) override { answer(!refuses); }
    bool refuses = false;
};

// The application over helper objects that live elsewhere, wired as main wires it, the alerts
// answered by the test. Without a tray unless `trayAvailable` says there is one.
struct AppParts {
    explicit AppParts(HelperObjects &helper, DependencyUpdateNudge::Lookups lookups = {},
                      std::function<bool()> trayAvailable = [] { return false; })
        : setupObjects(helper, std::move(lookups)), experimental(helper.env.defaults()),
          pages(setupObjects.setupContext(alerts, setup), setupObjects.pagesContext(alerts)),
          app(std::make_unique<CordavelleHelperApp>(
              AppContext{helper.config, helper.orchestrator, helper.pairing, helper.discovery, helper.env.defaults(),
                         alerts, setup, settingsOpener, experimental, setupObjects.updateNudge, helper.prefixHold,
                         helper.env.platform()},
              setupObjects.installers(), pages, microphone, std::move(trayAvailable),
              [this] {
                  if (relaunch) {
                      relaunch();
                  }
              }))
    {
    }

    ScriptedAlertPresenter alerts;
    HelperSetupState setup;
    SettingsOpener settingsOpener;
    SetupObjects setupObjects;
    ExperimentalFeatureManager experimental;
    HelperPages pages;
    MicrophoneDouble microphone;
    // What the reset's new instance would be started with.
    std::function<void()> relaunch;
    std::unique_ptr<CordavelleHelperApp> app;
};

// The helper's objects and the application over them.
struct AppObjects : HelperObjects, AppParts {
    explicit AppObjects(DependencyUpdateNudge::Lookups lookups = {})
        : AppParts(static_cast<HelperObjects &>(*this), std::move(lookups))
    {
    }
};

} // namespace cordavelle::test
