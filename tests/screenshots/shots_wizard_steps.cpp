#include "shots.h"

#include "base/helper_places.h"
#include "platform/remote_services.h"
#include "setup/wizard/wizard_dependencies_step.h"
#include "setup/wizard/wizard_packet_step.h"
#include "setup/wizard/wizard_radio_control_step.h"
#include "setup/wizard/wizard_vara_step.h"

#include "support/event_wait.h"
#include "support/fixture_http_server.h"
#include "support/setup_objects.h"
#include "support/test_files.h"

#include <QVBoxLayout>

#include <memory>

namespace cordavelle::screenshots {

namespace {

// The wizard's page column: 32 points of margin around a page at most 600 wide.
QImage wizardPage(WizardStep *step)
{
    QWidget frame;
    auto *column = new QVBoxLayout(&frame);
    column->setContentsMargins(32, 32, 32, 32);
    step->setParent(&frame);
    column->addWidget(step);
    // What showing starts is in its state at once (a Wine download stays at its first request);
    // the page draws it on a later turn, which taking the picture waits for.
    step->shown();
    return grabWindow(&frame, {664, 620});
}

// A machine of its own for one picture, with the installers the wizard drives. A Wine install
// started there stays at its first step.
struct StepScene {
    test::HelperObjects helper;
    test::SetupObjects setup{helper};
    test::TestPlatform &env = helper.env;
    test::FixtureHttpServer server;

    StepScene()
    {
        env.useSystemClock();
        env.platform().setRemoteServices(RemoteServices::allAt(server.base()));
        test::FixtureHttpServer::Route stalled;
        stalled.body = "[]";
        stalled.stallAfter = 0;
        server.serve(QStringLiteral("/repos/Kron4ek/Wine-Builds/releases"), stalled);
    }
    ~StepScene()
    {
        setup.wine.cancel();
        awaitAtEnd([this] { return !setup.wine.isBusy(); }, "the cancelled Wine install to end");
        server.release();
    }
    void tool(const QString &path) { test::writeProgram(env.hostPath(path)); }
};

} // namespace

void addWizardStepShots(ShotList &shots)
{
    shots.push_back({QStringLiteral("wizard-dependencies-downloading"), [] {
                         StepScene scene;
                         return wizardPage(new WizardDependenciesStep(scene.setup.wine, scene.setup.prefix));
                     }});
    shots.push_back({QStringLiteral("wizard-dependencies-wine-found"), [] {
                         StepScene scene;
                         scene.tool(QStringLiteral("/usr/bin/wine"));
                         return wizardPage(new WizardDependenciesStep(scene.setup.wine, scene.setup.prefix));
                     }});
    shots.push_back({QStringLiteral("wizard-dependencies-failed"), [] {
                         StepScene scene;
                         scene.env.systemInfo().architecture = QStringLiteral("aarch64");
                         return wizardPage(new WizardDependenciesStep(scene.setup.wine, scene.setup.prefix));
                     }});
    shots.push_back({QStringLiteral("wizard-vara-prefix-missing"), [] {
                         StepScene scene;
                         return wizardPage(new WizardVARAStep(scene.setup.varaHF, scene.setup.varaFM, scene.setup.prefix));
                     }});
    shots.push_back({QStringLiteral("wizard-vara-hf-installed"), [] {
                         StepScene scene;
                         const QString system32 = scene.setup.prefix.prefixPath() + QStringLiteral("/drive_c/windows/system32/");
                         test::writeFile(system32 + QStringLiteral("msvbvm60.dll"), "MZ");
                         test::writeFile(system32 + QStringLiteral("pdh.dll"), "MZ");
                         test::writeFile(places::varaExecutable(VARAVariant::hf), "MZ");
                         VARAConfig hf = scene.helper.config.varaConfig();
                         hf.installedVersion = QStringLiteral("4.8.7");
                         scene.helper.config.setVaraConfig(hf);
                         return wizardPage(new WizardVARAStep(scene.setup.varaHF, scene.setup.varaFM, scene.setup.prefix));
                     }});
    shots.push_back({QStringLiteral("wizard-radio-control-none"), [] {
                         StepScene scene;
                         return wizardPage(new WizardRadioControlStep(scene.setup.hamlib, scene.helper.config));
                     }});
    shots.push_back({QStringLiteral("wizard-radio-control-system"), [] {
                         StepScene scene;
                         scene.tool(QStringLiteral("/usr/bin/rigctld"));
                         return wizardPage(new WizardRadioControlStep(scene.setup.hamlib, scene.helper.config));
                     }});
    shots.push_back({QStringLiteral("wizard-radio-control-digest-mismatch"), [] {
                         // Hamlib's bottles arrive other than their formulas say.
                         StepScene scene;
                         for (const char *formula : {"hamlib", "libusb"}) {
                             const QString blob = QStringLiteral("/v2/%1/blobs/1").arg(QLatin1String(formula));
                             scene.server.serve(QStringLiteral("/api/formula/%1.json").arg(QLatin1String(formula)),
                                                test::bottleFormula(QStringLiteral("4.6"), scene.server.url(blob).toString(), {}));
                             scene.server.serve(blob, "not the bottle");
                         }
                         scene.setup.hamlib.startInstall();
                         await([&] { return !scene.setup.hamlib.isRunning(); }, "Hamlib's install to end");
                         return wizardPage(new WizardRadioControlStep(scene.setup.hamlib, scene.helper.config));
                     }});
    shots.push_back({QStringLiteral("wizard-packet-package-manager"), [] {
                         StepScene scene;
                         scene.tool(QStringLiteral("/usr/bin/apt-get"));
                         return wizardPage(new WizardPacketStep(scene.setup.direwolfDiscovery, scene.env.platform().appActivation()));
                     }});
    shots.push_back({QStringLiteral("wizard-packet-no-homebrew"), [] {
                         StepScene scene;
                         return wizardPage(new WizardPacketStep(scene.setup.direwolfDiscovery, scene.env.platform().appActivation()));
                     }});
    shots.push_back({QStringLiteral("wizard-packet-installed"), [] {
                         StepScene scene;
                         scene.tool(QStringLiteral("/usr/bin/direwolf"));
                         return wizardPage(new WizardPacketStep(scene.setup.direwolfDiscovery, scene.env.platform().appActivation()));
                     }});
}

} // namespace cordavelle::screenshots
