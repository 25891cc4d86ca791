#include "setup/wizard/install_steps_model.h"

#include "install/hamlib_installer.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"
#include "radio/direwolf_discovery.h"

#include <gtest/gtest.h>

#include <limits>

namespace cordavelle::wizard {
namespace {

using Dep = DependencyRowState;
using WineState = WineInstaller::State;
using PrefixState = WinePrefixManager::State;
using VARAState = VARAInstaller::State;
using Indicator = InstallerRowLook::Indicator;

VARAState phase(VARAState::Kind kind) { return {kind, 0.0, {}}; }

TEST(WizardDependencyRows, DisplayStatesFollowWhatIsOnDiskBeforeTheInstallersState)
{
    struct WineCase {
        WineState state;
        bool available;
        Dep expected;
    };
    const WineCase wine[] = {
        {WineState::error("boom"), true, Dep::done()},
        {WineState::downloading(0.3), true, Dep::done()},
        {WineState::downloading(0.3), false, Dep::downloading(0.3)},
        {WineState::extracting(), false, Dep::working("Extracting…")},
        {WineState::complete(), false, Dep::done()},
        {WineState::error("boom"), false, Dep::failed()},
        {WineState::idle(), false, Dep::idle()},
    };
    for (const WineCase &c : wine) {
        EXPECT_EQ(wineInstallerDisplayState(WineInstaller::progressOf(c.state), c.available), c.expected)
            << int(c.state.kind()) << c.available;
    }

    struct PrefixCase {
        PrefixState state;
        bool ready;
        bool wine;
        Dep expected;
        bool wineInstalling = false;
    };
    const PrefixCase prefix[] = {
        {PrefixState::error("broken"), true, true, Dep::done()},
        {PrefixState::initializing("Installing vb6run..."), false, true, Dep::working("Installing vb6run...")},
        {PrefixState::initializing("Installing vb6run..."), false, false, Dep::working("Installing vb6run...")},
        {PrefixState::error("broken"), false, false, Dep::failed()},
        // A "ready" whose libraries have gone offers the set-up again, or asks for Wine.
        {PrefixState::ready(), false, true, Dep::idle()},
        {PrefixState::ready(), false, false, Dep::needsWine()},
        // It waits only while a Wine is on its way, not after its install failed or stopped.
        {PrefixState::idle(), false, false, Dep::waiting(), true},
        {PrefixState::idle(), false, false, Dep::needsWine()},
    };
    for (const PrefixCase &c : prefix) {
        EXPECT_EQ(prefixDisplayState(WinePrefixManager::progressOf(c.state), c.ready, c.wine, c.wineInstalling),
                  c.expected)
            << int(c.state.kind()) << c.ready << c.wine << c.wineInstalling;
    }
    // A cancelled set-up that still ends offers no new one yet.
    EXPECT_EQ(prefixDisplayState(WinePrefixManager::progressOf(PrefixState::idle(), true), false, true, false),
              Dep::waiting());
}

TEST(WizardDependencyRows, EachDisplayStateHasItsMarkAndOneControl)
{
    struct Case {
        bool installed;
        Dep state;
        RowIcon icon;
        Indicator indicator;
        QString status;
        std::optional<RowButton> button;
        bool cancel;
        bool check;
    };
    const Case cases[] = {
        {false, Dep::idle(), RowIcon::missing, Indicator::none, "", RowButton{"Install", RowCommand::start, true, true},
         false, false},
        {false, Dep::working("Extracting…"), RowIcon::working, Indicator::spinner, "Extracting…", {}, true, false},
        {false, Dep::downloading(0.999), RowIcon::working, Indicator::bar, "99%", {}, true, false},
        {false, Dep::done(), RowIcon::installed, Indicator::none, "", {}, false, true},
        {false, Dep::failed(), RowIcon::failed, Indicator::none, "", RowButton{"Retry", RowCommand::start, true, false},
         false, false},
        {false, Dep::waiting(), RowIcon::missing, Indicator::none, "Waiting…", {}, false, false},
        // A prefix that is ready while its manager still reports the last failure.
        {true, Dep::failed(), RowIcon::installed, Indicator::none, "", RowButton{"Retry", RowCommand::start, true, false},
         false, false},
    };
    for (const Case &c : cases) {
        const InstallerRowLook look = dependencyRowLook("Wine", "sub", c.installed, c.state);
        SCOPED_TRACE(int(c.state.kind()));
        EXPECT_EQ(look.icon, c.icon);
        EXPECT_EQ(look.indicator, c.indicator);
        EXPECT_EQ(look.status, c.status);
        EXPECT_EQ(look.button, c.button);
        EXPECT_EQ(look.cancelHelp.has_value(), c.cancel);
        EXPECT_EQ(look.trailingCheck, c.check);
        EXPECT_TRUE(look.error.isEmpty()) << "the page shows the failure under the row";
    }
    EXPECT_EQ(dependencyRowLook("Wine", "sub", false, Dep::waiting()).statusTone, Tone::tertiary);
}

TEST(WizardVARARow, InstalledWinsThenEachPhaseShowsItsWordsAndOnlyEarlyPhasesCancel)
{
    bool prefixReady = false;
    bool installed = false;
    std::optional<QString> version;
    const VARAFacts facts{[&] { return installed; }, [&] { return prefixReady; }, [&] { return version; }};

    struct Case {
        VARAState state;
        RowIcon icon;
        QString status;
        bool cancel;
        bool check;
    };
    const Case phases[] = {
        {VARAState::downloading(0.427), RowIcon::working, "42%", true, false},
        {phase(VARAState::Kind::extracting), RowIcon::working, "Extracting…", true, false},
        {phase(VARAState::Kind::installing), RowIcon::working, "Installing…", true, false},
        {phase(VARAState::Kind::fixingOCX), RowIcon::working, "Fixing OCX…", false, false},
        {phase(VARAState::Kind::verifying), RowIcon::working, "Verifying…", false, false},
        {phase(VARAState::Kind::complete), RowIcon::installed, "", false, true},
        {VARAState::failed("setup failed"), RowIcon::failed, "", false, false},
        {{}, RowIcon::missing, "", false, false},
    };
    for (const Case &c : phases) {
        const InstallerRowLook look = varaRowLook(VARAVariant::hf, VARAInstaller::progressOf(c.state), facts);
        SCOPED_TRACE(int(c.state.kind));
        EXPECT_EQ(look.icon, c.icon);
        EXPECT_EQ(look.status, c.status);
        EXPECT_EQ(look.cancelHelp.has_value(), c.cancel);
        EXPECT_EQ(look.trailingCheck, c.check);
    }

    // Install waits for a ready prefix; Retry never does.
    EXPECT_EQ(varaRowLook(VARAVariant::fm, {}, facts).button,
              (RowButton{"Install VARA FM", RowCommand::start, false, true, "Set up the Wine prefix first"}));
    prefixReady = true;
    EXPECT_EQ(varaRowLook(VARAVariant::hf, {}, facts).button, (RowButton{"Install VARA HF", RowCommand::start, true, true}));
    prefixReady = false;
    EXPECT_EQ(varaRowLook(VARAVariant::hf, VARAInstaller::progressOf(VARAState::failed("x")), facts).button,
              (RowButton{"Retry", RowCommand::start, true, false}));

    // The program in the prefix wins over any state, even a failure.
    installed = true;
    EXPECT_EQ(varaRowLook(VARAVariant::hf, VARAInstaller::progressOf(VARAState::failed("x")), facts).status, "Installed");
    version = "v4.8.7";
    const InstallerRowLook look = varaRowLook(VARAVariant::hf, VARAInstaller::progressOf(VARAState::downloading(0.5)), facts);
    EXPECT_EQ(look.icon, RowIcon::installed);
    EXPECT_EQ(look.status, "v4.8.7");
    EXPECT_EQ(look.indicator, Indicator::none);
    EXPECT_FALSE(look.button.has_value());
    EXPECT_TRUE(look.trailingCheck);
}

TEST(WizardVARARow, AProgressThatIsNoFractionStillShowsAPercentage)
{
    const VARAFacts facts{[] { return false; }, [] { return true; }, [] { return std::nullopt; }};
    const auto downloading = [](double fraction) { return VARAInstaller::progressOf(VARAState::downloading(fraction)); };
    EXPECT_EQ(varaRowLook(VARAVariant::hf, downloading(std::numeric_limits<double>::quiet_NaN()), facts).status, "0%");
    EXPECT_EQ(varaRowLook(VARAVariant::hf, downloading(1.0), facts).status, "100%");
}

TEST(WizardPacketRow, DirewolfFirstThenTheSystemsPackageManagerThenHomebrew)
{
    const QString brew = "/opt/homebrew/bin/brew";
    const QString apt = "/usr/bin/apt-get";
    struct Case {
        std::optional<QString> direwolf;
        std::optional<QString> brew;
        std::optional<QString> apt;
        PacketRow::Kind kind;
        QString label;
        QString command;
        // The page's subtitle names the way the Helper would really take.
        QString subtitle;
    };
    const Case cases[] = {
        {"/usr/bin/direwolf", {}, {}, PacketRow::Kind::installed, "", "", "Direwolf is installed for AX.25 packet"},
        {"/usr/bin/direwolf", brew, apt, PacketRow::Kind::installed, "", "", "Direwolf is installed for AX.25 packet"},
        {{}, brew, apt, PacketRow::Kind::packageManager, "Install Direwolf", "sudo apt-get install -y direwolf",
         "Install Direwolf with apt for AX.25 packet"},
        {{}, brew, {}, PacketRow::Kind::homebrewInstalled, "Install Direwolf", brew + " install direwolf",
         "Install Direwolf via Homebrew for AX.25 packet"},
        {{}, {}, {}, PacketRow::Kind::noHomebrew, "Install Homebrew", DirewolfDiscovery::kHomebrewInstallCommand,
         "Install Direwolf via Homebrew for AX.25 packet"},
    };
    for (const Case &c : cases) {
        const PacketRow row = packetRow(c.direwolf, c.brew, c.apt);
        SCOPED_TRACE(int(c.kind));
        EXPECT_EQ(row.kind, c.kind);
        EXPECT_EQ(row.buttonLabel, c.label);
        EXPECT_EQ(row.command, c.command);
        EXPECT_EQ(packetSubtitle(row.kind), c.subtitle);
        EXPECT_EQ(row.detail.contains("Homebrew"), !c.apt && !c.direwolf) << "apt, where it is, is the only way named";
    }
    EXPECT_EQ(packetRow("/usr/bin/direwolf", {}, {}).detail, "/usr/bin/direwolf");
    EXPECT_TRUE(packetRow({}, {}, apt).buttonHelp.contains("`sudo apt-get install -y direwolf`"));
}

TEST(WizardRadioControl, AFoundRigctldHidesTheInstallAndOnlyAForeignOneIsNamed)
{
    using Case = HamlibInstaller::State;
    const auto of = [](const Case &state) { return HamlibInstaller::progressOf(state); };
    const QString system = "/usr/bin/rigctld";
    struct Row {
        RadioControlFacts facts;
        RowIcon icon;
        QString status;
        std::optional<RowButton> button;
        bool systemBox;
    };
    const Row rows[] = {
        {{of(Case::idle()), false, false, "", {}}, RowIcon::missing, "", RowButton{"Install Hamlib", RowCommand::start, true, true},
         false},
        {{of(Case::downloading(0.5)), false, false, "", {}}, RowIcon::working, "Downloading…", {}, false},
        {{of(Case::extracting()), false, false, "", {}}, RowIcon::working, "Installing…", {}, false},
        {{of(Case::complete()), false, false, "", {}}, RowIcon::installed, "", {}, false},
        {{of(Case::error("no bottle")), false, false, "", {}}, RowIcon::failed, "", RowButton{"Retry", RowCommand::start, true, false},
         false},
        // A system copy the orchestrator would start: no progress, no Retry, and the box names it.
        {{of(Case::downloading(0.5)), false, true, "", system}, RowIcon::installed, "System install", {}, true},
        {{of(Case::error("no bottle")), false, true, "4.5", system}, RowIcon::installed, "System install", {}, true},
        {{of(Case::idle()), true, true, "4.6.2", system}, RowIcon::installed, "v4.6.2", {}, false},
        {{of(Case::idle()), true, true, "", {}}, RowIcon::installed, "Installed", {}, false},
    };
    for (const Row &r : rows) {
        const InstallerRowLook look = hamlibRowLook(r.facts);
        SCOPED_TRACE(look.status.toStdString() + " " + std::to_string(int(r.facts.progress.phase)));
        EXPECT_EQ(look.icon, r.icon);
        EXPECT_EQ(look.status, r.status);
        EXPECT_EQ(look.button, r.button);
        EXPECT_EQ(look.indicator == Indicator::none, look.status.isEmpty() || r.facts.present);
        // Cancel stands beside the install's progress, as on the Wine line.
        EXPECT_EQ(look.cancelHelp.has_value(), look.icon == RowIcon::working);
        const InfoBoxText box = radioControlInfoBox(r.facts);
        EXPECT_EQ(box.title, r.systemBox ? "System Hamlib found" : "You can skip this step");
        if (r.systemBox) {
            EXPECT_TRUE(box.message.startsWith("A working rigctld was detected at " + system + ".  The Helper will use it"));
        }
    }
}

} // namespace
} // namespace cordavelle::wizard
