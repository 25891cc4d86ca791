#include "checklist_rows.h"

#include "install/vara_installer.h"

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

// A step under way: a bar while downloading, a spinner and the step's words otherwise.
void setWorking(InstallerRowLook &look, const InstallProgress &progress)
{
    if (progress.phase == InstallProgress::Phase::downloading) {
        setBar(look, progress.fraction);
        // A server that has sent nothing for a while is said to be waited for.
        if (!progress.message.isEmpty()) {
            setStatus(look, progress.message);
        }
    } else {
        setSpinner(look, stepWords(progress, u"..."));
    }
}

// A copy that is there but that another user could change: not installed, and why.
void setPassedOver(InstallerRowLook &look, const QString &reason)
{
    setStatus(look, QStringLiteral("Can't be used"), Tone::red);
    look.note = reason;
}

// A failed removal is retried through the line's menu item, which asked for it (and asks again).
void setFailure(InstallerRowLook &look, const InstallProgress &progress)
{
    look.icon = RowIcon::failed;
    look.button = RowButton{QStringLiteral("Retry"), progress.removalFailed ? RowCommand::menu : RowCommand::start};
    setFailureText(look, progress.error);
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

InstallerRowLook winetricksLook(const WinetricksFacts &facts)
{
    InstallerRowLook look = itemLook({QStringLiteral("winetricks"), QStringLiteral("Helper for installing Wine dependencies"),
                                      facts.found ? ItemStatus::installed : ItemStatus::notInstalled, {}});
    if (facts.progress.working()) {
        look.icon = RowIcon::working;
        look.button.reset();
        setSpinner(look, QStringLiteral("Downloading..."));
        look.cancelHelp = QStringLiteral("Cancel");
        return look;
    }
    if (facts.found) {
        if (facts.ownCopy && facts.ownWine) {
            setStatus(look, QStringLiteral("Installed with Wine"), Tone::green);
        }
        return look;
    }
    look.button.reset();
    if (!facts.wineFound) {
        // The Wine install brings it.
        setStatus(look, QStringLiteral("Comes with Wine"));
        return look;
    }
    if (facts.progress.phase == InstallProgress::Phase::failed) {
        setFailure(look, facts.progress);
    } else if (facts.passedOver) {
        setPassedOver(look, *facts.passedOver);
        look.button = RowButton{QStringLiteral("Install")};
    } else {
        setStatus(look, QStringLiteral("Not installed"));
        look.button = RowButton{QStringLiteral("Install")};
    }
    if (facts.apt) {
        if (look.error.isEmpty()) {
            look.note = QStringLiteral("Or install Debian's package:");
        }
        look.command = QStringLiteral("sudo apt install winetricks");
    }
    return look;
}

void explainWineWithout32Bit(InstallerRowLook &look, const WineWithout32Bit &wine)
{
    const WineWithout32BitAdvice advice = adviceFor(wine);
    look.note = advice.note;
    if (!advice.command.isEmpty()) {
        look.command = advice.command;
    }
}

InstallerRowLook wineLook(const InstallProgress &progress, const InstalledCopy &ownCopy, const Check &wineElsewhere,
                          const std::optional<WineWithout32Bit> &without32Bit, const std::optional<QString> &passedOver)
{
    using Phase = InstallProgress::Phase;
    InstallerRowLook look =
        frame(RowIcon::working, QStringLiteral("Wine"), QStringLiteral("Windows compatibility layer for running VARA"));
    const auto available = [&] { return ownCopy.present || wineElsewhere(); };
    if (progress.working()) {
        setWorking(look, progress);
        if (progress.phase == Phase::downloading) {
            look.cancelHelp = QString();
        }
    } else if (progress.phase == Phase::complete) {
        setInstalled(look);
    } else if (progress.phase == Phase::failed) {
        setFailure(look, progress);
        // The Wine that was there before still works: what failed is its update, or the
        // helper's own copy beside another.
        if (available()) {
            look.icon = RowIcon::installed;
            if (ownCopy.present) {
                setStatus(look, versionText(ownCopy.version) + QStringLiteral(" \u2014 update failed"), Tone::orange);
                look.button = RowButton{QStringLiteral("Retry Update")};
            } else {
                setStatus(look, QStringLiteral("System Wine \u2014 install failed"), Tone::orange);
            }
        } else if (without32Bit) {
            // The other way out stays in view when the Helper's own Wine could not be fetched.
            explainWineWithout32Bit(look, *without32Bit);
        }
    } else if (available()) {
        setInstalled(look, versionText(ownCopy.version));
    } else {
        look.icon = RowIcon::missing;
        look.button = RowButton{QStringLiteral("Install Wine")};
        if (passedOver) {
            setPassedOver(look, *passedOver);
        } else if (without32Bit) {
            setStatus(look, QStringLiteral("Cannot run 32-bit programs"), Tone::orange);
            explainWineWithout32Bit(look, *without32Bit);
        }
    }
    return look;
}

bool prefixReady(const PrefixFacts &facts)
{
    return facts.initialized() && facts.hasDependencies();
}

InstallerRowLook winePrefixLook(const InstallProgress &progress, const PrefixFacts &facts)
{
    using Phase = InstallProgress::Phase;
    InstallerRowLook look = frame(RowIcon::missing, QStringLiteral("Wine Prefix"),
                                  QStringLiteral("Wine environment with VB6 runtime and pdh.dll"));
    const bool failed = progress.phase == Phase::failed;
    if (failed) {
        // Shown under the line even when the prefix turns out to be ready.
        setFailureText(look, progress.error);
    }
    if (progress.working()) {
        look.icon = RowIcon::working;
        setWorking(look, progress);
        if (!progress.removing) {
            look.cancelHelp = QStringLiteral("Cancel setup");
        }
    } else if (failed && progress.removalFailed) {
        // A deletion that failed left no prefix to call ready, whatever is still on disk.
        setFailure(look, progress);
    } else if (prefixReady(facts)) {
        setInstalled(look, QStringLiteral("Ready"));
    } else {
        if (failed) {
            look.icon = RowIcon::failed;
        }
        RowButton button{failed ? QStringLiteral("Retry") : QStringLiteral("Set Up")};
        // A cancelled set-up still ending holds the prefix: a new one would be refused.
        if (progress.busy) {
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
    // While its deletion runs, the line offers no second one.
    if (facts.initialized() && !progress.removing) {
        look.menuItem = QStringLiteral("Delete Wine Prefix...");
    }
    return look;
}

QString varaSubtitle(VARAVariant variant)
{
    return variant == VARAVariant::hf ? QStringLiteral("High-performance HF modem by the VARA project")
                                      : QStringLiteral("VHF/UHF FM modem by the VARA project");
}

InstallerRowLook varaLook(VARAVariant variant, const InstallProgress &progress, const VARAFacts &facts)
{
    using Phase = InstallProgress::Phase;
    const QString name = displayName(variant);
    InstallerRowLook look = frame(RowIcon::working, name, varaSubtitle(variant));
    if (progress.working()) {
        setWorking(look, progress);
        if (progress.undoable() && !progress.removing) {
            look.cancelHelp = QStringLiteral("Cancel installation");
        }
    } else if (progress.phase == Phase::complete) {
        setInstalled(look);
    } else if (progress.phase == Phase::failed) {
        setFailure(look, progress);
    } else if (facts.installed()) {
        setInstalled(look, facts.installedVersion().value_or(kInstalled));
        look.button = kConfigure;
    } else {
        look.icon = RowIcon::missing;
        look.button = RowButton{QStringLiteral("Install ") + name, RowCommand::start, facts.prefixReady()};
        if (!look.button->enabled) {
            look.button->disabledReason = kSetUpPrefixFirst;
        }
    }
    // While its uninstall runs, the line offers no second one.
    if ((progress.phase == Phase::complete || facts.installed()) && !progress.removing) {
        look.menuItem = QStringLiteral("Uninstall ") + name + QStringLiteral("...");
        if (progress.working()) {
            look.menuItemUnavailable = VARAInstaller::uninstallRefusal(variant);
        }
    }
    return look;
}

InstallerRowLook hamlibLook(const InstallProgress &progress, const Check &installed, const QString &installedVersion,
                            const std::optional<QString> &passedOver)
{
    using Phase = InstallProgress::Phase;
    InstallerRowLook look = frame(RowIcon::working, QStringLiteral("Hamlib (rigctld)"),
                                  QStringLiteral("Radio control daemon for rig CAT control"));
    if (progress.working()) {
        // The download's fraction is left out: two bottles of very different sizes make it
        // jump. Extracting lasts until the install is complete, so it reads as installing.
        if (progress.phase != Phase::downloading) {
            setSpinner(look, QStringLiteral("Installing..."));
        } else {
            setSpinner(look, progress.message.isEmpty() ? QStringLiteral("Downloading...") : progress.message);
        }
        look.cancelHelp = QStringLiteral("Cancel installation");
    } else if (progress.phase == Phase::complete) {
        setInstalled(look);
        look.button = kConfigure;
    } else if (progress.phase == Phase::failed) {
        setFailure(look, progress);
    } else if (installed()) {
        setInstalled(look, versionText(installedVersion));
        look.button = kConfigure;
    } else {
        look.icon = RowIcon::missing;
        look.button = RowButton{QStringLiteral("Install Hamlib")};
        if (passedOver) {
            setPassedOver(look, *passedOver);
        }
    }
    return look;
}

} // namespace cordavelle::checklist
