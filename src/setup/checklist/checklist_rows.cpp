#include "checklist_rows.h"

namespace cordavelle::checklist {

namespace {

const QString kInstalled = QStringLiteral("Installed");
const QString kSetUpPrefixFirst = QStringLiteral("Set up the Wine prefix first");
const RowButton kConfigure{QStringLiteral("Configure"), RowCommand::configure};

InstallerRowLook frame(RowIcon icon, const QString &title, const QString &subtitle)
{
    InstallerRowLook look;
    look.icon = icon;
    look.title = title;
    look.subtitle = subtitle;
    return look;
}

void setStatus(InstallerRowLook &look, const QString &text, Tone tone = Tone::secondary)
{
    look.status = text;
    look.statusTone = tone;
}

void setInstalled(InstallerRowLook &look, const QString &text = kInstalled)
{
    look.icon = RowIcon::installed;
    setStatus(look, text, Tone::green);
}

// "v" and the recorded version, or the plain word when none was recorded.
QString versionText(const QString &version)
{
    return version.isEmpty() ? kInstalled : QStringLiteral("v") + version;
}

void setSpinner(InstallerRowLook &look, const QString &text)
{
    look.indicator = InstallerRowLook::Indicator::spinner;
    setStatus(look, text);
}

void setBar(InstallerRowLook &look, double fraction)
{
    look.indicator = InstallerRowLook::Indicator::bar;
    look.fraction = fraction;
    setStatus(look, percentText(fraction));
}

void setFailure(InstallerRowLook &look, const QString &message)
{
    look.icon = RowIcon::failed;
    look.button = RowButton{QStringLiteral("Retry")};
    look.error = message;
}

} // namespace

InstallerRowLook itemLook(const ItemFacts &facts)
{
    static const RowIcon icons[] = {RowIcon::installed, RowIcon::missing, RowIcon::update};
    InstallerRowLook look = frame(icons[int(facts.status)], facts.title, facts.subtitle);
    if (facts.status == ItemStatus::installed) {
        setInstalled(look);
        if (facts.hasConfigure) {
            look.button = kConfigure;
        }
    } else if (facts.isLoading) {
        setSpinner(look, QStringLiteral("Installing..."));
    } else {
        look.button = RowButton{facts.actionLabel};
    }
    return look;
}

InstallerRowLook winetricksLook(bool found, bool wineFound)
{
    InstallerRowLook look = itemLook({QStringLiteral("winetricks"), QStringLiteral("Helper for installing Wine dependencies"),
                                      found ? ItemStatus::installed : ItemStatus::notInstalled, {}});
    if (!found) {
        // It has no action of its own: the Wine install brings it.
        look.button.reset();
        setStatus(look, wineFound ? QStringLiteral("Not installed") : QStringLiteral("Installed with Wine"));
    }
    return look;
}

InstallerRowLook wineLook(const WineInstaller::State &state, const Check &wineAvailable, const QString &installedVersion)
{
    using Kind = WineInstaller::State::Kind;
    InstallerRowLook look =
        frame(RowIcon::working, QStringLiteral("Wine"), QStringLiteral("Windows compatibility layer for running VARA"));
    switch (state.kind()) {
    case Kind::downloading:
        setBar(look, state.progress());
        look.cancelHelp = QString();
        break;
    case Kind::installingRosetta:
        setSpinner(look, QStringLiteral("Installing Rosetta..."));
        break;
    case Kind::extracting:
        setSpinner(look, QStringLiteral("Extracting..."));
        break;
    case Kind::complete:
        setInstalled(look);
        break;
    case Kind::error:
        setFailure(look, state.message());
        // A step after the swap failed: Wine itself is there and works.
        if (wineAvailable()) {
            setInstalled(look, versionText(installedVersion));
        }
        break;
    case Kind::idle:
        if (wineAvailable()) {
            setInstalled(look, versionText(installedVersion));
        } else {
            look.icon = RowIcon::missing;
            look.button = RowButton{QStringLiteral("Install Wine")};
        }
        break;
    }
    return look;
}

bool prefixReady(const PrefixFacts &facts)
{
    return facts.initialized() && facts.hasDependencies();
}

InstallerRowLook winePrefixLook(const WinePrefixManager::State &state, const PrefixFacts &facts)
{
    using Kind = WinePrefixManager::State::Kind;
    InstallerRowLook look = frame(RowIcon::missing, QStringLiteral("Wine Prefix"),
                                  QStringLiteral("Wine environment with VB6 runtime and pdh.dll"));
    if (state.kind() == Kind::error) {
        // Shown under the line even when the prefix turns out to be ready.
        look.error = state.text();
    }
    if (state.kind() == Kind::initializing) {
        look.icon = RowIcon::working;
        setSpinner(look, state.text());
        look.cancelHelp = QStringLiteral("Cancel setup");
    } else if (prefixReady(facts)) {
        setInstalled(look, QStringLiteral("Ready"));
    } else {
        const bool failed = state.kind() == Kind::error;
        if (failed) {
            look.icon = RowIcon::failed;
        }
        RowButton button{failed ? QStringLiteral("Retry") : QStringLiteral("Set Up")};
        // A cancelled set-up still ending holds the prefix: a new one would be refused.
        if (facts.busy) {
            button.enabled = false;
            button.disabledReason = QStringLiteral("Waiting for the cancelled set-up to end");
        } else if (!failed) {
            // The set-up reports what is missing only once it runs; without the tools it can't.
            if (!facts.wineFound()) {
                button.enabled = false;
                button.disabledReason = QStringLiteral("Install Wine first");
            } else if (!facts.winetricksAvailable) {
                button.enabled = false;
                button.disabledReason = QStringLiteral("Install winetricks first");
            }
        }
        look.button = button;
    }
    if (facts.initialized()) {
        look.menuItem = QStringLiteral("Delete Wine Prefix...");
    }
    return look;
}

QString varaSubtitle(VARAVariant variant)
{
    return variant == VARAVariant::hf ? QStringLiteral("High-performance HF modem by the VARA project")
                                      : QStringLiteral("VHF/UHF FM modem by the VARA project");
}

InstallerRowLook varaLook(VARAVariant variant, const VARAInstaller::State &state, const VARAFacts &facts)
{
    using Kind = VARAInstaller::State::Kind;
    const QString name = displayName(variant);
    InstallerRowLook look = frame(RowIcon::working, name, varaSubtitle(variant));
    const QString cancelHelp = QStringLiteral("Cancel installation");
    switch (state.kind) {
    case Kind::idle:
        if (facts.installed()) {
            setInstalled(look, facts.installedVersion().value_or(kInstalled));
            look.button = kConfigure;
        } else {
            look.icon = RowIcon::missing;
            look.button = RowButton{QStringLiteral("Install ") + name, RowCommand::start, facts.prefixReady()};
            if (!look.button->enabled) {
                look.button->disabledReason = kSetUpPrefixFirst;
            }
        }
        break;
    case Kind::downloading:
        setBar(look, state.progress);
        look.cancelHelp = cancelHelp;
        break;
    case Kind::extracting:
        setSpinner(look, QStringLiteral("Extracting..."));
        look.cancelHelp = cancelHelp;
        break;
    case Kind::installing:
        setSpinner(look, QStringLiteral("Installing..."));
        look.cancelHelp = cancelHelp;
        break;
    case Kind::fixingOCX:
        setSpinner(look, QStringLiteral("Fixing OCX..."));
        break;
    case Kind::verifying:
        setSpinner(look, QStringLiteral("Verifying..."));
        break;
    case Kind::complete:
        setInstalled(look);
        break;
    case Kind::error:
        setFailure(look, state.error);
        break;
    }
    if (state.kind == Kind::complete || facts.installed()) {
        look.menuItem = QStringLiteral("Uninstall ") + name + QStringLiteral("...");
        const bool installing = state.kind != Kind::idle && state.kind != Kind::complete && state.kind != Kind::error;
        if (installing) {
            look.menuItemUnavailable = VARAInstaller::uninstallRefusal(variant);
        }
    }
    return look;
}

InstallerRowLook hamlibLook(const HamlibInstaller::State &state, const Check &installed, const QString &installedVersion)
{
    using Case = HamlibInstaller::State::Case;
    InstallerRowLook look = frame(RowIcon::working, QStringLiteral("Hamlib (rigctld)"),
                                  QStringLiteral("Radio control daemon for rig CAT control"));
    switch (state.phase) {
    case Case::idle:
        if (installed()) {
            setInstalled(look, versionText(installedVersion));
            look.button = kConfigure;
        } else {
            look.icon = RowIcon::missing;
            look.button = RowButton{QStringLiteral("Install Hamlib")};
        }
        break;
    case Case::downloading:
        setSpinner(look, QStringLiteral("Downloading..."));
        break;
    case Case::extracting:
        setSpinner(look, QStringLiteral("Installing..."));
        break;
    case Case::complete:
        setInstalled(look);
        look.button = kConfigure;
        break;
    case Case::error:
        setFailure(look, state.message);
        break;
    }
    return look;
}

} // namespace cordavelle::checklist
