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

// The helper's objects and the application over them, wired as main wires them, without a tray,
// the alerts answered by the test.
struct AppObjects : HelperObjects {
    explicit AppObjects(DependencyUpdateNudge::Lookups lookups = {})
        : setupObjects(*this, std::move(lookups)), experimental(env.defaults()),
          pages(setupObjects.setupContext(alerts, setup), setupObjects.pagesContext(alerts)),
          app(std::make_unique<CordavelleHelperApp>(
              AppContext{config, orchestrator, pairing, discovery, env.defaults(), alerts, setup, settingsOpener,
                         experimental, setupObjects.updateNudge, prefixHold, env.platform()},
              setupObjects.installers(), pages, microphone, [] { return false; },
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

} // namespace cordavelle::test
