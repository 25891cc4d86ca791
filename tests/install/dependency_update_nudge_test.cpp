#include "install/dependency_update_nudge.h"

#include "support/manual_clock.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

#include <map>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;
using Versions = std::optional<DependencyVersions>;

// Look-ups that answer from a table after a second on the test's clock, and count their calls.
struct Registry {
    std::map<QString, Versions> answers;
    QStringList calls;

    DependencyUpdateNudge::Lookup lookup(const QString &name)
    {
        return [this, name]() -> QCoro::Task<Versions> {
            calls << name;
            co_await Platform::current().clock().sleep(1s);
            // A copy: QCoro moves from an lvalue handed to co_return.
            const Versions answer = answers[name];
            co_return answer;
        };
    }

    DependencyUpdateNudge::Lookups lookups(std::function<QString()> direwolfInstalled)
    {
        return {lookup("Wine"), lookup("Hamlib"), DependencyUpdateNudge::direwolfLookup(std::move(direwolfInstalled)),
                lookup("VARA HF"), lookup("VARA FM")};
    }
};

std::vector<PendingDependencyUpdate> checked(test::TestPlatform &env, DependencyUpdateNudge &nudge)
{
    nudge.checkAll();
    EXPECT_TRUE(nudge.isChecking());
    EXPECT_TRUE(env.clock().advanceUntil([&] { return !nudge.isChecking(); }, 60s));
    return nudge.pendingUpdates();
}

TEST(DependencyUpdateNudge, ListsDifferingInstalledVersionsInFixedOrder)
{
    test::TestPlatform env;
    Registry registry;
    QString direwolf;
    DependencyUpdateNudge nudge(env.defaults(), registry.lookups([&] { return direwolf; }));

    // Nothing installed, or no answer: nothing to offer.
    registry.answers = {{"Wine", DependencyVersions{"9.0", ""}}, {"Hamlib", std::nullopt}};
    EXPECT_TRUE(checked(env, nudge).empty());
    EXPECT_EQ(registry.calls, QStringList({"Wine", "Hamlib", "VARA HF", "VARA FM"}));
    EXPECT_TRUE(env.log().contains(
        "[DependencyUpdateNudge] no pending updates for Wine, Direwolf; could not check Hamlib, VARA HF, VARA FM"));

    // Texts compared as they are: a newer installed Direwolf is still offered 1.8.1.
    direwolf = "1.9.0";
    registry.answers = {{"VARA FM", DependencyVersions{"4.3.1", "4.3.0"}},
                        {"VARA HF", DependencyVersions{"4.8.9", "4.8.9"}},
                        {"Hamlib", DependencyVersions{"4.6", "4.5.5"}},
                        {"Wine", DependencyVersions{"9.0", "8.0"}}};
    const std::vector<PendingDependencyUpdate> expected{{"Wine", "8.0", "9.0"},
                                                        {"Hamlib", "4.5.5", "4.6"},
                                                        {"Direwolf", "1.9.0", "1.8.1"},
                                                        {"VARA FM", "4.3.0", "4.3.1"}};
    EXPECT_EQ(checked(env, nudge), expected);
    EXPECT_TRUE(env.log().contains("[DependencyUpdateNudge] pending updates: Wine 8.0 \u2192 9.0, Hamlib 4.5.5 \u2192 "
                                   "4.6, Direwolf 1.9.0 \u2192 1.8.1, VARA FM 4.3.0 \u2192 4.3.1"));

    direwolf = "1.8.1";
    registry.answers = {};
    EXPECT_TRUE(checked(env, nudge).empty());
}

// A check that got no answer is never read as "no update".
TEST(DependencyUpdateNudge, TheSummarySaysWhichChecksGotNoAnswer)
{
    const DependencyCheckOutcome wine{"Wine", DependencyVersions{"9.0", "9.0"}};
    const DependencyCheckOutcome hamlibFailed{"Hamlib", std::nullopt, "HTTP 503"};
    const DependencyCheckOutcome varaFailed{"VARA HF", std::nullopt, "timed out"};
    const std::vector<PendingDependencyUpdate> none;
    const std::vector<PendingDependencyUpdate> wineUpdate{{"Wine", "8.0", "9.0"}};
    const struct {
        std::vector<DependencyCheckOutcome> outcomes;
        std::vector<PendingDependencyUpdate> pending;
        QString summary;
    } cases[] = {
        {{}, none, "no pending updates"},
        {{wine}, none, "no pending updates"},
        {{wine, hamlibFailed}, none, "no pending updates for Wine; could not check Hamlib"},
        {{wine, hamlibFailed}, wineUpdate, "pending updates: Wine 8.0 \u2192 9.0; could not check Hamlib"},
        {{hamlibFailed, varaFailed}, none, "the check for updates could not be made: no answer for Hamlib, VARA HF"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(DependencyUpdateNudge::checkSummary(c.outcomes, c.pending), c.summary);
    }
}

TEST(DependencyUpdateNudge, DismissalHoldsUntilANewerLatestVersion)
{
    test::TestPlatform env;
    Registry registry;
    QString direwolf = "1.7";
    DependencyUpdateNudge nudge(env.defaults(), registry.lookups([&] { return direwolf; }));
    registry.answers = {{"Wine", DependencyVersions{"9.0", "8.0"}}, {"Hamlib", DependencyVersions{"4.6", "4.5"}}};
    ASSERT_EQ(checked(env, nudge).size(), 3u);

    nudge.dismiss(nudge.pendingUpdates().front());
    EXPECT_EQ(env.defaults().stringForKey("nudgeDismissed.Wine"), "9.0");
    ASSERT_EQ(nudge.pendingUpdates().size(), 2u);
    EXPECT_EQ(nudge.pendingUpdates()[0].dependency, "Hamlib");
    EXPECT_TRUE(env.log().contains("[DependencyUpdateNudge] dismissed Wine 8.0 \u2192 9.0 \u2014 badge suppressed until "
                                   "a newer version appears"));
    EXPECT_EQ(checked(env, nudge).size(), 2u);

    registry.answers["Wine"] = DependencyVersions{"9.1", "8.0"};
    ASSERT_EQ(checked(env, nudge).size(), 3u);
    EXPECT_EQ(nudge.pendingUpdates()[0], (PendingDependencyUpdate{"Wine", "8.0", "9.1"}));

    const int before = env.log().messages().size();
    nudge.dismissAll();
    EXPECT_TRUE(nudge.pendingUpdates().empty());
    EXPECT_EQ(env.log().messages().mid(before), QStringList{"[DependencyUpdateNudge] dismissed all pending updates"});
    EXPECT_EQ(env.defaults().stringForKey("nudgeDismissed.Wine"), "9.1");
    EXPECT_EQ(env.defaults().stringForKey("nudgeDismissed.Hamlib"), "4.6");
    EXPECT_EQ(env.defaults().stringForKey("nudgeDismissed.Direwolf"), "1.8.1");
    EXPECT_TRUE(checked(env, nudge).empty());
}

TEST(DependencyUpdateNudge, ASecondCheckWhileOneRunsDoesNothing)
{
    test::TestPlatform env;
    Registry registry;
    DependencyUpdateNudge nudge(env.defaults(), registry.lookups([] { return QString(); }));
    int checkingChanges = 0;
    QObject::connect(&nudge, &DependencyUpdateNudge::isCheckingChanged, [&] { ++checkingChanges; });

    nudge.checkAll();
    // The check runs after the caller has gone on.
    EXPECT_TRUE(registry.calls.isEmpty());
    // The look-ups wait on the test's clock: what is queued runs the first up to its wait.
    test::ManualClock::processEvents();
    EXPECT_EQ(registry.calls, QStringList{"Wine"});
    nudge.checkAll();
    env.clock().advance(1500ms);
    nudge.checkAll();
    ASSERT_TRUE(env.clock().advanceUntil([&] { return !nudge.isChecking(); }, 60s));
    EXPECT_EQ(registry.calls, QStringList({"Wine", "Hamlib", "VARA HF", "VARA FM"}));
    EXPECT_EQ(checkingChanges, 2);
}

} // namespace
} // namespace cordavelle
