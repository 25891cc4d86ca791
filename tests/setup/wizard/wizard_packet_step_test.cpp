#include "setup/wizard/wizard_packet_step.h"

#include "radio/direwolf_discovery.h"
#include "setup/wizard/wizard_install_row.h"
#include "support/event_wait.h"
#include "support/manual_clock.h"
#include "support/recording_app_activation.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

// The user comes back from the terminal: the page looks again, but only while it is in view.
TEST(WizardPacketStep, ComingBackToTheHelperLooksAgainOnlyWhileThePageShows)
{
    test::TestPlatform env;
    test::RecordingAppActivation activation;
    DirewolfDiscovery discovery(env.terminal());
    WizardPacketStep step(discovery, activation);
    step.show();
    step.shown();
    // Looking again is at once; the row shows it on a later turn.
    test::ManualClock::processEvents();
    step.direwolfRow()->row()->button()->click();
    ASSERT_EQ(env.terminal().scripts.size(), 1);
    EXPECT_TRUE(env.terminal().scripts.first().contains(DirewolfDiscovery::kHomebrewInstallCommand));
    EXPECT_TRUE(step.homebrewNote()->isVisible());

    const QString direwolf = env.hostPath("/usr/bin/direwolf");
    test::writeProgram(direwolf);
    activation.reportBecameActive();
    ASSERT_TRUE(test::processEventsUntil([&] { return step.direwolfRow()->row()->look().status == "Installed"; }));
    EXPECT_EQ(step.direwolfRow()->row()->look().subtitle, direwolf);
    EXPECT_FALSE(step.homebrewNote()->isVisible());

    step.hide();
    QFile::remove(direwolf);
    // Looking again would happen inside the signal, so the old path is proof enough.
    activation.reportBecameActive();
    EXPECT_EQ(discovery.direwolfPath(), direwolf);
}

} // namespace
} // namespace cordavelle
