#include "setup/checklist/updates_section.h"

#include "base/helper_places.h"
#include "core/config_store.h"
#include "core/wine_prefix_hold.h"
#include "install/hamlib_installer.h"
#include "install/install_log.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"

#include "support/event_wait.h"
#include "support/fixture_http_server.h"
#include "support/manual_clock.h"
#include "support/qt_printers.h"
#include "support/recording_service_control.h"
#include "support/test_platform.h"

#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using updates_section::CheckOutcome;
using updates_section::resultLine;

TEST(UpdatesSectionResult, NamesOutdatedDependenciesAndTheChecksThatFailed)
{
    const auto v = [](const char *latest, const char *current) {
        return std::optional<DependencyVersions>(DependencyVersions{latest, current});
    };
    const std::optional<DependencyVersions> failed;
    struct Case {
        std::vector<CheckOutcome> outcomes;
        QString line;
    };
    const Case cases[] = {
        // Not installed counts as current; equal texts are current.
        {{{"Wine", v("9.0", "9.0")}, {"Hamlib", v("4.6.2", "")}, {"VARA HF", v("4.8.7", "4.8.7")}, {"VARA FM", v("4.3.9", "")}},
         "Everything is up to date"},
        // Plain text comparison: an older or shorter latest version is still an update.
        {{{"Wine", v("9.0", "10.0")}, {"Hamlib", v("4.6.2", "4.6.1")}, {"VARA HF", v("4.8", "4.8.0")}, {"VARA FM", v("4.3.9", "Unknown")}},
         "Wine: v10.0 \u2192 v9.0 | Hamlib: v4.6.1 \u2192 v4.6.2 | VARA HF: v4.8.0 \u2192 v4.8 | VARA FM: vUnknown \u2192 v4.3.9"},
        // Offline: no claim that anything is current.
        {{{"Wine", failed}, {"Hamlib", failed}, {"VARA HF", failed}, {"VARA FM", failed}},
         "Could not check Wine, Hamlib, VARA HF, VARA FM"},
        // Those that gave one reason share it; another reason stands apart.
        {{{"Wine", failed, "no network"}, {"Hamlib", failed, "no network"}},
         "Could not check Wine, Hamlib: no network"},
        {{{"Wine", v("9.0", "9.0")}, {"Hamlib", v("4.6.2", "")}, {"VARA HF", failed, "HTTP 404"},
          {"VARA FM", failed, "HTTP 404"}},
         "Could not check VARA HF, VARA FM: HTTP 404 | Everything else is up to date"},
        {{{"Wine", failed, "timed out"}, {"Hamlib", failed}, {"VARA HF", failed, "HTTP 404"}, {"VARA FM", failed, "timed out"}},
         "Could not check Wine, VARA FM: timed out; Hamlib; VARA HF: HTTP 404"},
        {{{"Wine", v("9.0", "8.0")}, {"Hamlib", failed}, {"VARA HF", v("4.8.7", "4.8.7")}, {"VARA FM", failed}},
         "Could not check Hamlib, VARA FM | Wine: v8.0 \u2192 v9.0"},
        {{{"Wine", v("9.0", "9.0")}, {"Hamlib", failed}, {"VARA HF", v("4.8.7", "")}, {"VARA FM", v("4.3.9", "")}},
         "Could not check Hamlib | Everything else is up to date"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(resultLine(c.outcomes), c.line);
    }
}

// The whole section over the nudge of real installers against a local server that only lists
// VARA HF: the HF update is named, the other three checks are reported as failed (each logged
// once, though the start-up check was still running), and the pending updates are listed.
TEST(UpdatesSection, ShowsTheNudgesOneCheckAndListsItsUpdates)
{
    test::TestPlatform env;
    env.useSystemClock();
    test::FixtureHttpServer server;
    env.platform().setRemoteServices(RemoteServices::allAt(server.base()));
    server.serve("/VARA%20Products/", "<a href=\"VARA%20HF%204.8.7%20setup.zip\">HF</a>");

    ConfigStore config(env.defaults(), env.platform());
    VARAConfig hf = config.varaConfig();
    hf.installedVersion = QStringLiteral("4.8.6");
    config.setVaraConfig(hf);
    InstallLog installLog(env.clock(), env.log(), places::supportFolder());
    test::RecordingServiceControl services;
    WinePrefixHold prefixHold;
    WineInstaller wine(config, installLog, env.platform(), services, prefixHold);
    HamlibInstaller hamlib(config, env.defaults(), env.platform().httpClient(), env.commands(), env.systemInfo(),
                           env.platform().clock(), env.platform().remoteServices(), installLog);
    const auto vara = [&](VARAVariant variant) {
        return std::make_unique<VARAInstaller>(
            variant, VARAInstaller::Collaborators{config, env.platform().httpClient(), env.commands(), env.clock(),
                                                  installLog, services, prefixHold,
                                                  env.platform().remoteServices().varaDownloadsPage()});
    };
    const auto varaHF = vara(VARAVariant::hf);
    const auto varaFM = vara(VARAVariant::fm);
    using Nudge = DependencyUpdateNudge;
    Nudge nudge(env.defaults(),
                {.wine = Nudge::wineLookup(wine),
                 .hamlib = Nudge::hamlibLookup(hamlib),
                 .direwolf = Nudge::direwolfLookup([] { return QStringLiteral("1.7"); }),
                 .varaHF = Nudge::varaLookup(*varaHF, [&config] { return config.varaConfig().installedVersion; }),
                 .varaFM = Nudge::varaLookup(*varaFM, [&config] { return config.varaFMConfig().installedVersion; })});

    UpdatesSection section(nudge);
    nudge.checkAll();
    section.checkAllUpdates();
    EXPECT_TRUE(section.checkButton()->isHidden());
    ASSERT_TRUE(test::processEventsUntil([&] { return !section.isCheckingUpdates() && !nudge.isChecking(); },
                                         std::chrono::seconds(20)));
    // The section redraws on a later turn than the change: once nothing is queued, it has.
    test::ManualClock::processEvents();

    // Each failed check says why.
    EXPECT_EQ(section.updateCheckResult(),
              "Could not check Wine: The Wine release list from 127.0.0.1 could not be read: the server answered 404 "
              "Not Found for the list; Hamlib: The release information of hamlib from 127.0.0.1 could not be read: the "
              "server answered 404 Not Found for the release information of hamlib; VARA FM: No VARA download found on "
              "the Pelorin server | VARA HF: v4.8.6 \u2192 v4.8.7");
    EXPECT_EQ(section.resultLabel()->text(), section.updateCheckResult());
    EXPECT_FALSE(section.checkButton()->isHidden());
    for (const QStringList &lines : {wine.logLines(), hamlib.logLines(), varaFM->logLines()}) {
        EXPECT_EQ(lines.filter("Update check failed: ").size(), 1) << lines.join('\n').toStdString();
    }
    EXPECT_TRUE(wine.logLines().constFirst().endsWith(
        "] Update check failed: The Wine release list from 127.0.0.1 could not be read: the server answered 404 Not "
        "Found for the list"));
    EXPECT_EQ(section.pendingRows()->findChildren<QToolButton *>().size(), 2);
    EXPECT_TRUE(section.dismissAllButton()->isVisibleTo(&section));

    section.pendingRows()->findChildren<QToolButton *>().first()->click();
    test::ManualClock::processEvents();
    ASSERT_EQ(nudge.pendingUpdates().size(), 1u);
    EXPECT_EQ(nudge.pendingUpdates().front().dependency, "VARA HF");
    EXPECT_EQ(section.pendingRows()->findChildren<QToolButton *>().size(), 1);
    EXPECT_FALSE(section.dismissAllButton()->isVisibleTo(&section));
}

} // namespace
} // namespace cordavelle
