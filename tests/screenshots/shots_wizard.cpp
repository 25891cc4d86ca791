#include "shots.h"

#include "app/helper_setup_state.h"
#include "platform/app_activation.h"
#include "setup/wizard/setup_wizard.h"
#include "setup/wizard/wizard_features_step.h"
#include "platform/remote_services.h"
#include "setup/setup_views.h"
#include "support/event_wait.h"
#include "support/fixture_http_server.h"
#include "support/scripted_alert_presenter.h"
#include "support/setup_objects.h"

#include <QCheckBox>

#include <functional>
#include <memory>

namespace cordavelle::screenshots {

namespace {

using namespace wizardPage;

// The wizard on `step`, after `act` has worked the page it shows.
QImage wizardOn(ShotEnvironment &scene, int step, const std::function<void(HelperSetupWizardView &)> &act = {})
{
    HelperSetupState state;
    test::SetupObjects setup(scene);
    RecordedAppActivation activation;
    HelperSetupWizardView wizard(state, scene.env.defaults(), wizardPages(setup.installers(), scene.config, activation));
    wizard.show();
    while (wizard.currentStep() < step) {
        wizard.navigateForward();
    }
    if (act) {
        act(wizard);
    }
    return grabWindow(&wizard, {750, 750});
}

void switchOff(HelperSetupWizardView &wizard, std::initializer_list<int> rows)
{
    auto *page = static_cast<WizardFeaturesStep *>(wizard.page(wizardPage::features));
    for (int row : rows) {
        page->featureSwitch(row)->click();
    }
}

// The last page once Wine, VARA HF and Hamlib could not reach their servers (nothing listens at
// the remote services' address).
QImage completeAfterFailures(ShotEnvironment &scene)
{
    HelperSetupState state;
    test::SetupObjects setup(scene);
    setup.wine.startInstall();
    setup.varaHF.startInstall();
    setup.hamlib.startInstall();
    await([&] { return !setup.wine.isBusy() && !setup.varaHF.isInstalling() && !setup.hamlib.isRunning(); },
          "the installs to end");
    test::ScriptedAlertPresenter alerts;
    std::unique_ptr<QDialog> wizard(makeSetupWizard(setup.setupContext(alerts, state), {}, nullptr));
    auto *view = static_cast<HelperSetupWizardView *>(wizard.get());
    view->show();
    while (view->currentStep() < complete) {
        view->navigateForward();
    }
    return grabWindow(view, {750, 750});
}

// The last page while Wine and Hamlib are still downloading: their first requests stall.
QImage completeWhileInstalling()
{
    test::HelperObjects helper;
    helper.env.useSystemClock();
    test::FixtureHttpServer server;
    helper.env.platform().setRemoteServices(RemoteServices::allAt(server.base()));
    test::FixtureHttpServer::Route stalled;
    stalled.body = "[]";
    stalled.stallAfter = 0;
    server.serve(QStringLiteral("/repos/Kron4ek/Wine-Builds/releases"), stalled);
    server.serve(QStringLiteral("/api/formula/hamlib.json"), stalled);
    test::SetupObjects setup(helper);
    test::ScriptedAlertPresenter alerts;
    HelperSetupState state;
    std::unique_ptr<QDialog> wizard(makeSetupWizard(setup.setupContext(alerts, state), {}, nullptr));
    auto *view = static_cast<HelperSetupWizardView *>(wizard.get());
    view->show();
    // The Dependencies page starts Wine; Hamlib is started from its page.
    while (view->currentStep() < complete) {
        view->navigateForward();
        if (view->currentStep() == radioControl) {
            setup.hamlib.startInstall();
        }
    }
    await([&] { return server.stalledCount() == 2; }, "both downloads to stall");
    const QImage picture = grabWindow(view, {750, 750});
    setup.wine.cancel();
    setup.hamlib.cancel();
    await([&] { return !setup.wine.isBusy() && !setup.hamlib.isRunning(); }, "the cancelled installs to end");
    server.release();
    return picture;
}

} // namespace

void addWizardShots(ShotList &shots, ShotEnvironment &scene)
{
    shots.push_back({QStringLiteral("wizard-complete-installing"), completeWhileInstalling});
    shots.push_back({QStringLiteral("wizard-welcome"), [&scene] { return wizardOn(scene, welcome); }});
    shots.push_back({QStringLiteral("wizard-features-all"), [&scene] { return wizardOn(scene, features); }});
    shots.push_back({QStringLiteral("wizard-features-none"), [&scene] {
                         return wizardOn(scene, features, [](auto &wizard) { switchOff(wizard, {0, 1, 2, 3}); });
                     }});
    shots.push_back({QStringLiteral("wizard-features-radio-and-packet"), [&scene] {
                         return wizardOn(scene, features, [](auto &wizard) { switchOff(wizard, {0, 1}); });
                     }});
    shots.push_back({QStringLiteral("wizard-radio-control"), [&scene] { return wizardOn(scene, radioControl); }});
    shots.push_back({QStringLiteral("wizard-complete"), [&scene] { return wizardOn(scene, complete); }});
    shots.push_back({QStringLiteral("wizard-complete-after-failures"), [&scene] { return completeAfterFailures(scene); }});
}

} // namespace cordavelle::screenshots
