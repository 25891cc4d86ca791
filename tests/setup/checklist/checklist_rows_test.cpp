#include "setup/checklist/checklist_rows.h"

#include "install/hamlib_installer.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"

#include "support/qt_printers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace cordavelle::checklist {
namespace {

// One line of text per look, left to right: the mark (I installed, M missing, W working,
// F failed, U update), the indicator, the status words, the button ("-" when disabled, with
// the reason it gives; ">menu" when it repeats the menu item's action), the cancel button, the
// error line and the menu item.
std::string describe(const InstallerRowLook &look)
{
    static const char marks[] = {'I', 'M', 'W', 'F', 'U'};
    QString text{QLatin1Char(marks[int(look.icon)])};
    if (look.indicator == InstallerRowLook::Indicator::spinner) {
        text += " spin";
    } else if (look.indicator == InstallerRowLook::Indicator::bar) {
        text += " bar";
    }
    if (!look.status.isEmpty()) {
        text += " '" + look.status + "'";
        if (look.statusTone == Tone::green) {
            text += "g";
        }
    }
    if (look.button) {
        text += " [" + look.button->label + (look.button->command == RowCommand::menu ? ">menu" : "") + "]" +
                (look.button->enabled ? "" : "-");
        if (!look.button->disabledReason.isEmpty()) {
            text += "(" + look.button->disabledReason + ")";
        }
    }
    if (look.cancelHelp) {
        text += " (x" + (look.cancelHelp->isEmpty() ? QString() : " " + *look.cancelHelp) + ")";
    }
    if (!look.error.isEmpty()) {
        text += " !" + look.error;
    }
    if (!look.command.isEmpty()) {
        text += " $ " + look.command;
    }
    if (!look.menuItem.isEmpty()) {
        text += " menu:" + look.menuItem;
    }
    if (!look.menuItemUnavailable.isEmpty()) {
        text += " (off: " + look.menuItemUnavailable + ")";
    }
    return text.toStdString();
}

Check yes = [] { return true; };
Check no = [] { return false; };
Check never = [] {
    ADD_FAILURE() << "a check made in a state that does not look at it";
    return false;
};

TEST(ChecklistPercent, TruncatesAndClampsEveryValue)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, int> cases[] = {{0.0, 0},   {0.425, 42}, {0.427, 42}, {0.999, 99},  {1.0, 100},
                                            {1.5, 100}, {-0.2, 0},   {nan, 0},    {inf, 100}, {-inf, 0},
                                            {1e300, 100}};
    for (const auto &[fraction, percent] : cases) {
        EXPECT_EQ(wholePercent(fraction), percent) << fraction;
    }
    EXPECT_EQ(percentText(0.0), "0%");
}

TEST(ChecklistItemRow, InstalledWinsOverLoadingAndConfigureOnlyWhenInstalled)
{
    using S = ItemStatus;
    struct Case {
        S status;
        bool loading;
        bool configure;
        const char *shown;
    };
    const Case cases[] = {
        {S::installed, true, false, "I 'Installed'g"},
        {S::installed, false, true, "I 'Installed'g [Configure]"},
        {S::notInstalled, false, true, "M [Get]"},
        {S::notInstalled, true, true, "M spin 'Installing...'"},
        {S::needsUpdate, false, false, "U [Get]"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(describe(itemLook({"T", "S", c.status, "Get", c.loading, c.configure})), c.shown);
    }
    // Where winetricks comes from is said, not offered as a button that does nothing, and it
    // reads as installed only when it is.
    EXPECT_EQ(describe(winetricksLook({.found = false})), "M 'Comes with Wine'");
    EXPECT_EQ(describe(winetricksLook({.found = false, .wineFound = true})), "M 'Not installed' [Install]")
        << "a Wine that came without it";
    using Phase = InstallProgress::Phase;
    EXPECT_EQ(describe(winetricksLook({.found = false, .wineFound = true, .apt = true})),
              "M 'Not installed' [Install] $ sudo apt install winetricks");
    EXPECT_EQ(describe(winetricksLook({.found = false, .wineFound = true, .progress = {Phase::downloading, 0.0, {}, {}, true}})),
              "W spin 'Downloading...' (x Cancel)");
    EXPECT_EQ(describe(winetricksLook({.found = false, .wineFound = true, .progress = {Phase::failed, 0.0, {}, "no answer"}, .apt = true})),
              "F [Retry] !no answer $ sudo apt install winetricks");
    EXPECT_EQ(describe(winetricksLook({.found = true, .wineFound = true})), "I 'Installed'g");
    EXPECT_EQ(describe(winetricksLook({.found = true, .ownCopy = true, .wineFound = true, .ownWine = true})),
              "I 'Installed with Wine'g");
    EXPECT_EQ(describe(winetricksLook({.found = true, .ownCopy = true, .wineFound = true})), "I 'Installed'g")
        << "fetched alone for a system Wine";
}

TEST(ChecklistWineRow, StateFirstThenWhereWineIsFound)
{
    using St = WineInstaller::State;
    const InstalledCopy none;
    struct Case {
        St state;
        InstalledCopy own;
        Check elsewhere;
        const char *shown;
    };
    const Case cases[] = {
        {St::idle(), none, no, "M [Install Wine]"},
        {St::idle(), none, yes, "I 'Installed'g"},
        {St::idle(), {true, "wine-9.0"}, never, "I 'vwine-9.0'g"},
        {St::complete(), none, never, "I 'Installed'g"},
        {St::downloading(0.425), none, never, "W bar '42%' (x)"},
        {St::extracting(), none, never, "W spin 'Extracting...'"},
        {St::error("no space"), none, no, "F [Retry] !no space"},
        // A failure beside a Wine that works says what failed, and that Wine still counts.
        {St::error("no cabextract"), {true, "10.0"}, never, "I 'v10.0 \u2014 update failed' [Retry Update] !no cabextract"},
        {St::error("404"), none, yes, "I 'System Wine \u2014 install failed' [Retry] !404"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(describe(wineLook(WineInstaller::progressOf(c.state), c.own, c.elsewhere)), c.shown);
    }

    // A Wine that can't run VARA offers the Helper's own, and Debian's way where it is Debian's.
    const auto idle = WineInstaller::progressOf(St::idle());
    const InstallerRowLook debian = wineLook(idle, none, no, WineWithout32Bit{"/usr/bin/wine", true});
    EXPECT_EQ(describe(debian), "M 'Cannot run 32-bit programs' [Install Wine] $ " + kWine32Command.toStdString());
    EXPECT_TRUE(debian.note.startsWith("The Wine at /usr/bin/wine cannot run 32-bit programs")) << debian.note.toStdString();
    const InstallerRowLook build = wineLook(idle, none, no, WineWithout32Bit{"/usr/local/bin/wine", false});
    EXPECT_EQ(describe(build), "M 'Cannot run 32-bit programs' [Install Wine]");
    EXPECT_FALSE(build.note.isEmpty());
    EXPECT_EQ(describe(wineLook(WineInstaller::progressOf(St::downloading(0.5)), none, never, WineWithout32Bit{"/w", true})),
              "W bar '50%' (x)") << "an install under way says only how far it got";
    EXPECT_EQ(describe(wineLook(WineInstaller::progressOf(St::error("404")), none, no, WineWithout32Bit{"/w", true})),
              "F [Retry] !404 $ " + kWine32Command.toStdString())
        << "a failed fetch of the Helper's own keeps Debian's way";
}

TEST(ChecklistWinePrefixRow, ReadinessComesFromTheFoldersNotTheState)
{
    using St = WinePrefixManager::State;
    struct Case {
        St state;
        PrefixFacts facts;
        const char *shown;
        bool busy = false;
    };
    const Case cases[] = {
        {St::idle(), {no, never, no, true}, "M [Set Up]-(Install Wine first)"},
        {St::idle(), {no, never, yes, false}, "M [Set Up]-(Install winetricks first)"},
        // After a cancel the set-up still ends before another may begin.
        {St::idle(), {no, never, never, true}, "M [Set Up]-(Waiting for the cancelled set-up to end)", true},
        {St::error("failed"), {no, never, never, false}, "F [Retry]-(Waiting for the cancelled set-up to end) !failed",
         true},
        {St::idle(), {no, never, yes, true}, "M [Set Up]"},
        {St::idle(), {yes, no, yes, true}, "M [Set Up] menu:Delete Wine Prefix..."},
        {St::ready(), {yes, no, yes, true}, "M [Set Up] menu:Delete Wine Prefix..."},
        {St::idle(), {yes, yes, never, false}, "I 'Ready'g menu:Delete Wine Prefix..."},
        {St::error("failed"), {yes, yes, never, false}, "I 'Ready'g !failed menu:Delete Wine Prefix..."},
        {St::error("failed"), {no, never, no, false}, "F [Retry] !failed"},
        {St::error("No cabextract. Or install Debian's package: sudo apt install cabextract"), {no, never, yes, true},
         "F [Retry] !No cabextract. Or install Debian's package: sudo apt install cabextract $ sudo apt install cabextract"},
        // A failed deletion is no ready prefix, and its Retry deletes again.
        {St::removalError("no"), {yes, never, never, false}, "F [Retry>menu] !no menu:Delete Wine Prefix..."},
        {St::initializing("Installing vb6run"), {yes, never, never, false},
         "W spin 'Installing vb6run' (x Cancel setup) menu:Delete Wine Prefix..."},
        // Under way past the point where a cancel could keep the prefix, and offered no second time.
        {St::removing("Deleting the Wine prefix..."), {yes, never, never, false}, "W spin 'Deleting the Wine prefix...'"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(describe(winePrefixLook(WinePrefixManager::progressOf(c.state, c.busy), c.facts)), c.shown);
    }
}

TEST(ChecklistVARARow, EveryStateOfTheInstaller)
{
    using St = VARAInstaller::State;
    using K = St::Kind;
    const auto version = [](std::optional<QString> v) { return std::function([v] { return v; }); };
    const std::function unread = [] {
        ADD_FAILURE() << "a version read while not installed";
        return std::optional<QString>();
    };
    const auto in = [](K kind) {
        St state;
        state.kind = kind;
        return state;
    };
    struct Case {
        St state;
        VARAFacts facts;
        const char *shown;
    };
    const Case cases[] = {
        {{}, {yes, never, version("v4.8.7")}, "I 'v4.8.7'g [Configure] menu:Uninstall VARA HF..."},
        {{}, {yes, never, version(std::nullopt)}, "I 'Installed'g [Configure] menu:Uninstall VARA HF..."},
        {{}, {no, no, unread}, "M [Install VARA HF]-(Set up the Wine prefix first)"},
        {{}, {no, yes, unread}, "M [Install VARA HF]"},
        {St::downloading(0), {no, never, unread}, "W bar '0%' (x Cancel installation)"},
        {in(K::extracting), {no, never, unread}, "W spin 'Extracting...' (x Cancel installation)"},
        {in(K::installing), {no, never, unread}, "W spin 'Installing...' (x Cancel installation)"},
        {in(K::fixingOCX), {yes, never, unread},
         "W spin 'Fixing OCX...' menu:Uninstall VARA HF... (off: VARA HF can't be uninstalled while it is being installed.)"},
        {in(K::verifying), {no, never, unread}, "W spin 'Verifying...'"},
        {in(K::complete), {no, never, unread}, "I 'Installed'g menu:Uninstall VARA HF..."},
        {St::failed("setup failed"), {no, never, unread}, "F [Retry] !setup failed"},
        {St::failed("setup failed"), {yes, never, unread}, "F [Retry] !setup failed menu:Uninstall VARA HF..."},
        {St::removalFailed("no"), {yes, never, unread}, "F [Retry>menu] !no menu:Uninstall VARA HF..."},
        {in(K::removing), {yes, never, unread}, "W spin 'Uninstalling...'"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(describe(varaLook(VARAVariant::hf, VARAInstaller::progressOf(c.state), c.facts)), c.shown);
    }
    EXPECT_EQ(describe(varaLook(VARAVariant::fm, {}, {no, yes, unread})), "M [Install VARA FM]");
}

TEST(ChecklistHamlibRow, IdleSplitsByWhereRigctldIsFound)
{
    using St = HamlibInstaller::State;
    struct Case {
        St state;
        Check installed;
        QString version;
        const char *shown;
    };
    const Case cases[] = {
        {St::idle(), no, "4.6", "M [Install Hamlib]"},
        // A system rigctld with a version an earlier managed install recorded.
        {St::idle(), yes, "4.6", "I 'v4.6'g [Configure]"},
        {St::idle(), yes, "", "I 'Installed'g [Configure]"},
        {St::downloading(0.5), never, "", "W spin 'Downloading...' (x Cancel installation)"},
        {St::extracting(), never, "", "W spin 'Installing...' (x Cancel installation)"},
        {St::complete(), never, "", "I 'Installed'g [Configure]"},
        {St::error("bottle missing"), never, "", "F [Retry] !bottle missing"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(describe(hamlibLook(HamlibInstaller::progressOf(c.state), c.installed, c.version)), c.shown);
    }
    // Another user's rigctld, passed over by the look-up, is not installed; the line says why,
    // as the Wine line does for another user's Wine.
    const InstallerRowLook passedOver = hamlibLook({}, no, "", QStringLiteral("rigctld at /x was passed over"));
    EXPECT_EQ(describe(passedOver), "M 'Can't be used' [Install Hamlib]");
    EXPECT_EQ(passedOver.note, QStringLiteral("rigctld at /x was passed over"));
    const InstallerRowLook wine = wineLook({}, {}, no, std::nullopt, QStringLiteral("Wine at /x was passed over"));
    EXPECT_EQ(describe(wine), "M 'Can't be used' [Install Wine]");
    EXPECT_EQ(wine.note, QStringLiteral("Wine at /x was passed over"));
    // A server quiet for a while is said to be waited for, here and on the Wine line.
    InstallProgress quiet = HamlibInstaller::progressOf(St::downloading(0.0), true);
    quiet.message = "Waiting for formulae.example\u2026";
    EXPECT_EQ(describe(hamlibLook(quiet, never, "")), "W spin 'Waiting for formulae.example\u2026' (x Cancel installation)");
    quiet.fraction = 0.2;
    EXPECT_EQ(describe(wineLook(quiet, {}, never)), "W bar 'Waiting for formulae.example\u2026' (x)");
}

} // namespace
} // namespace cordavelle::checklist

namespace cordavelle::checklist {
namespace {

TEST(ChecklistAdvice, AFailureEndingInDebiansPackageOffersItsCommandToCopy)
{
    const auto failed = [](const QString &error) {
        return hamlibLook(HamlibInstaller::progressOf(HamlibInstaller::State::error(error)), never, "");
    };
    EXPECT_EQ(failed("Failed to extract Hamlib archive. Or install Debian's package: sudo apt install libhamlib-utils")
                  .command,
              "sudo apt install libhamlib-utils");
    EXPECT_EQ(failed("Failed to extract Hamlib archive").command, "");
}

} // namespace
} // namespace cordavelle::checklist
