#include "pages/vara_page_fixture.h"

#include "widgets/lifecycle_picker.h"
#include "widgets/log_viewer.h"
#include "core/managed_process.h"

#include "support/event_wait.h"
#include "support/qt_printers.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

// The VARA FM page edits VARA FM's record alone and leaves the running modem be; its update
// check reads the downloads page and compares it with the recorded version.
TEST(VARAPage, TheFmPageWritesOnlyItsOwnRecordAndChecksItsOwnModem)
{
    test::VARAPageScene scene;
    VARAConfig hf = scene.config.varaConfig();
    hf.winePath = QStringLiteral("/opt/wine/bin/wine");
    hf.installedVersion = QStringLiteral("4.8.9");
    scene.config.setVaraConfig(hf);
    ManagedProcess &fmProcess = scene.orchestrator.process(ServiceID::varaFM);
    ManagedProcess &hfProcess = scene.orchestrator.process(ServiceID::varaHF);
    fmProcess.appendSyntheticLog(QStringLiteral("[VARA FM] Starting"));
    hfProcess.appendSyntheticLog(QStringLiteral("[VARA] Starting"));

    auto page = scene.makePage(VARAVariant::fm);
    EXPECT_EQ(page->winePathLabel()->text(), "/opt/wine/bin/wine");
    EXPECT_EQ(page->versionLabel()->text(), "Not installed");
    EXPECT_FALSE(page->checkButton()->isEnabled());

    page->audioDebugSwitch()->click();
    page->lifecyclePicker()->findChildren<QPushButton *>()[1]->click();
    EXPECT_TRUE(scene.config.varaFMConfig().audioDebugEnabled);
    EXPECT_EQ(scene.config.varaFMConfig().lifecycleMode, ServiceLifecycleMode::alwaysOn);
    EXPECT_EQ(scene.config.varaConfig(), hf);
    EXPECT_EQ(fmProcess.state(), ServiceRunState::stopped);

    page->logViewer()->clearButton()->click();
    EXPECT_TRUE(fmProcess.logLines().isEmpty());
    EXPECT_EQ(hfProcess.logLines().size(), 1);

    // A version recorded elsewhere shows at once and makes the check possible.
    VARAFMConfig fm = scene.config.varaFMConfig();
    fm.installedVersion = QStringLiteral("4.3.8");
    scene.config.setVaraFMConfig(fm);
    EXPECT_TRUE(test::processEventsUntil([&] { return page->checkButton()->isEnabled(); }, 30s))
        << "the check button was not enabled within 30 s";
    EXPECT_EQ(page->versionLabel()->text(), "v4.3.8");

    page->checkForUpdate();
    EXPECT_TRUE(page->checkButton()->isHidden());
    ASSERT_TRUE(test::processEventsUntil([&] { return !page->state().isCheckingForUpdate(); }, 10s));
    EXPECT_TRUE(test::processEventsUntil([&] { return !page->checkButton()->isHidden(); }, 30s))
        << "the check button did not come back within 30 s";
    EXPECT_EQ(page->resultLabel()->text(), "Update available: v4.3.9 (installed: v4.3.8)");

    // Offline: the check says so and the button comes back.
    scene.server.serve("/VARA%20Products/", "", 503);
    page->checkForUpdate();
    ASSERT_TRUE(test::processEventsUntil([&] { return !page->state().isCheckingForUpdate(); }, 10s));
    EXPECT_TRUE(test::processEventsUntil([&] { return !page->checkButton()->isHidden(); }, 30s))
        << "the check button did not come back within 30 s";
    EXPECT_EQ(page->resultLabel()->text(), "Could not check for updates: the VARA downloads page from 127.0.0.1 could "
                                           "not be read: the server answered 503 Service Unavailable for the page");
}

} // namespace
} // namespace cordavelle
