#pragma once

#include "pages/rigctld_page.h"

#include "core/managed_process.h"

#include "support/event_wait.h"
#include "support/helper_objects.h"
#include "support/installer_double.h"
#include "support/scripted_alert_presenter.h"
#include "support/scripted_page_surroundings.h"
#include "support/task_outcome.h"

#include <QPointer>

#include <memory>

namespace cordavelle::test {

// The rigctld page over the helper's objects on a private platform: the rigctld it finds, the
// serial ports, the file it would pick and the Hamlib installer's state are the test's.
struct RigctldPageScene : HelperObjects, ScriptedPageSurroundings {
    ~RigctldPageScene()
    {
        ManagedProcess &process = orchestrator.rigctldProcess();
        process.stop();
        EXPECT_TRUE(processEventsUntil([&] { return process.state() != ServiceRunState::stopping; },
                                       std::chrono::seconds(30)))
            << "rigctld's process did not stop within 30 s";
    }

    // Puts a long sleep in rigctld's place and takes it as running.
    void standInForRunningRigctld()
    {
        ManagedProcess &process = orchestrator.rigctldProcess();
        auto started = track(process.start(QStringLiteral("/bin/sleep"), {QStringLiteral("600")}));
        EXPECT_TRUE(processEventsUntil([&] { return started->done; }, std::chrono::seconds(30)))
            << "the stand-in for rigctld did not start within 30 s";
        process.markRunning();
    }

    std::unique_ptr<RigctldPage> makePage(bool withInstaller = true)
    {
        return std::make_unique<RigctldPage>(RigctldPageContext{
            orchestrator, config, runner ? *runner : env.commands(), env.currentClock(), *this, alerts,
            withInstaller ? &installer : nullptr});
    }

    CommandRunner *runner = nullptr;
    InstallerDouble installer;
    ScriptedAlertPresenter alerts;
};

} // namespace cordavelle::test
