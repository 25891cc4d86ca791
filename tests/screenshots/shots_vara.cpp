#include "shots.h"

#include "widgets/accent_style.h"
#include "widgets/log_viewer.h"
#include "widgets/service_header.h"
#include "core/managed_process.h"
#include "pages/vara_page_fixture.h"
#include "support/event_wait.h"
#include "support/task_outcome.h"
#include "support/test_files.h"

namespace cordavelle::screenshots {

namespace {

using namespace std::chrono_literals;

// One modem's page after an update check, its log open: VARA HF is installed one release behind
// and runs, VARA FM is current and uses VARA HF's Wine.
QImage varaPage(VARAVariant variant)
{
    test::VARAPageScene scene;
    VARAConfig hf = scene.config.varaConfig();
    hf.winePath = scene.env.hostPath(QStringLiteral("/usr/bin/wine"));
    // A Wine that is there, as the page's pictures of a working set-up show it.
    test::writeProgram(hf.winePath);
    hf.installedVersion = QStringLiteral("4.8.7");
    hf.lifecycleMode = ServiceLifecycleMode::alwaysOn;
    scene.config.setVaraConfig(hf);
    VARAFMConfig fm = scene.config.varaFMConfig();
    fm.installedVersion = test::VARAPageScene::kLatestFM;
    fm.audioDebugEnabled = true;
    scene.config.setVaraFMConfig(fm);

    ManagedProcess &process = scene.orchestrator.process(serviceID(variant));
    if (variant == VARAVariant::hf) {
        process.appendSyntheticLog(QStringLiteral("[VARA] Starting: wine VARA.exe"));
        runAsStarted(process, hf.winePath, {places::varaExecutable(VARAVariant::hf)}, QStringLiteral("*.exe"));
        process.appendSyntheticLog(QStringLiteral("[VARA] Command port 8300 is answering"));
    }
    auto page = scene.makePage(variant);
    page->checkForUpdate();
    await([&] { return !page->state().isCheckingForUpdate(); }, "the update check to end");
    page->logViewer()->setExpanded(true);
    QImage picture = grabWindow(page.get(), {760, 1150});
    page.reset();
    process.stop();
    await([&] { return process.state() != ServiceRunState::stopping; }, "VARA's process to stop");
    return picture;
}

// VARA HF's page after Start on a machine without a Wine that can run it: the start throws before
// anything runs, and the page reads it as the failed start it is.
QImage varaStartThatThrew()
{
    test::VARAPageScene scene;
    auto page = scene.makePage(VARAVariant::hf);
    ManagedProcess &process = scene.orchestrator.process(ServiceID::varaHF);
    page->findChild<ServiceHeader *>()->button()->click();
    await([&] { return process.startError().has_value(); }, "VARA's start to fail");
    return grabWindow(page.get(), {760, 700});
}

} // namespace

void addVARAShots(ShotList &shots)
{
    shots.push_back({QStringLiteral("vara-hf-start-failed"), varaStartThatThrew});
    shots.push_back({QStringLiteral("vara-hf"), [] { return varaPage(VARAVariant::hf); }});
    shots.push_back({QStringLiteral("vara-fm"), [] { return varaPage(VARAVariant::fm); }});
}

} // namespace cordavelle::screenshots
