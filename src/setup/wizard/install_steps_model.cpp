#include "setup/wizard/install_steps_model.h"

#include "radio/direwolf_discovery.h"
#include "setup/checklist/checklist_rows.h"

namespace cordavelle::wizard {

namespace {

const QString kCancelHelp = QStringLiteral("Cancel");

// A step under way: its fraction while downloading, its words otherwise.
DependencyRowState workingState(const InstallProgress &progress)
{
    return progress.phase == InstallProgress::Phase::downloading
               ? DependencyRowState::downloading(progress.fraction, progress.message)
                                                                 : DependencyRowState::working(stepWords(progress, u"…"));
}

RowButton retryButton() { return RowButton{QStringLiteral("Retry"), RowCommand::start, true, false}; }

// An install that has ended shows the installed mark closed by a check, or the failed mark with
// Retry. False while it has not ended.
bool showsEnd(const InstallProgress &progress, InstallerRowLook &look)
{
    if (progress.phase == InstallProgress::Phase::complete) {
        look.icon = RowIcon::installed;
        look.trailingCheck = true;
        return true;
    }
    if (progress.phase == InstallProgress::Phase::failed) {
        look.icon = RowIcon::failed;
        look.button = retryButton();
        return true;
    }
    return false;
}

} // namespace

DependencyRowState wineInstallerDisplayState(const InstallProgress &progress, bool wineAvailable)
{
    using Phase = InstallProgress::Phase;
    if (wineAvailable || progress.phase == Phase::complete) {
        return DependencyRowState::done();
    }
    if (progress.working()) {
        return workingState(progress);
    }
    return progress.phase == Phase::failed ? DependencyRowState::failed() : DependencyRowState::idle();
}

DependencyRowState prefixDisplayState(const InstallProgress &progress, bool prefixReady, bool wineAvailable,
                                      bool wineInstalling)
{
    if (prefixReady) {
        return DependencyRowState::done();
    }
    if (progress.working()) {
        return workingState(progress);
    }
    if (progress.phase == InstallProgress::Phase::failed) {
        return DependencyRowState::failed();
    }
    if (!wineAvailable) {
        return wineInstalling ? DependencyRowState::waiting() : DependencyRowState::needsWine();
    }
    return progress.busy ? DependencyRowState::waiting() : DependencyRowState::idle();
}

RowIcon rowStatusIcon(bool isInstalled, const DependencyRowState &state)
{
    using Kind = DependencyRowState::Kind;
    if (isInstalled) {
        return RowIcon::installed;
    }
    switch (state.kind()) {
    case Kind::working:
    case Kind::downloading: return RowIcon::working;
    case Kind::done: return RowIcon::installed;
    case Kind::failed: return RowIcon::failed;
    case Kind::idle:
    case Kind::waiting: break;
    }
    return RowIcon::missing;
}

InstallerRowLook dependencyRowLook(const QString &title, const QString &subtitle, bool isInstalled,
                                   const DependencyRowState &state)
{
    using Kind = DependencyRowState::Kind;
    InstallerRowLook look;
    look.icon = rowStatusIcon(isInstalled, state);
    look.title = title;
    look.subtitle = subtitle;
    switch (state.kind()) {
    case Kind::working:
        look.indicator = InstallerRowLook::Indicator::spinner;
        look.status = state.label();
        look.cancelHelp = kCancelHelp;
        break;
    case Kind::downloading:
        look.indicator = InstallerRowLook::Indicator::bar;
        look.fraction = state.progress();
        // A server that has sent nothing for a while is said to be waited for.
        look.status = state.label().isEmpty() ? percentText(state.progress()) : state.label();
        look.cancelHelp = kCancelHelp;
        break;
    case Kind::idle: look.button = RowButton{QStringLiteral("Install"), RowCommand::start, true, true}; break;
    case Kind::done: look.trailingCheck = true; break;
    case Kind::failed: look.button = retryButton(); break;
    case Kind::waiting:
        look.status = state.label();
        look.statusTone = Tone::tertiary;
        break;
    }
    return look;
}

InstallerRowLook varaRowLook(VARAVariant variant, const InstallProgress &progress, const VARAFacts &facts)
{
    using Phase = InstallProgress::Phase;
    InstallerRowLook look;
    look.title = displayName(variant);
    look.subtitle = checklist::varaSubtitle(variant);
    if (facts.installed()) {
        look.icon = RowIcon::installed;
        look.status = facts.installedVersion().value_or(QStringLiteral("Installed"));
        look.statusTone = Tone::green;
        look.trailingCheck = true;
        return look;
    }
    if (progress.working()) {
        look.icon = RowIcon::working;
        if (progress.phase == Phase::downloading) {
            look.indicator = InstallerRowLook::Indicator::bar;
            look.fraction = progress.fraction;
            look.status = percentText(progress.fraction);
        } else {
            look.indicator = InstallerRowLook::Indicator::spinner;
            look.status = stepWords(progress, u"…");
        }
        // Past the setup program there is nothing left that a cancel could undo cleanly.
        if (progress.undoable()) {
            look.cancelHelp = kCancelHelp;
        }
    } else if (!showsEnd(progress, look)) {
        look.icon = RowIcon::missing;
        look.button = RowButton{QStringLiteral("Install ") + displayName(variant), RowCommand::start,
                                facts.prefixReady(), true};
        if (!look.button->enabled) {
            look.button->disabledReason = QStringLiteral("Set up the Wine prefix first");
        }
    }
    return look;
}

PacketRow packetRow(const std::optional<QString> &direwolfPath, const std::optional<QString> &brewPath,
                    const std::optional<QString> &aptGetPath)
{
    if (direwolfPath) {
        return {PacketRow::Kind::installed, *direwolfPath, {}, {}, {}};
    }
    const auto install = DirewolfDiscovery::installCommand(aptGetPath, brewPath);
    if (install && aptGetPath) {
        return {PacketRow::Kind::packageManager, QStringLiteral("Debian's apt is here — one command away"),
                QStringLiteral("Install Direwolf"),
                QStringLiteral("Opens a terminal to run `") + *install +
                    QStringLiteral("`.  Come back to this window when it finishes."),
                *install};
    }
    if (install) {
        return {PacketRow::Kind::homebrewInstalled, QStringLiteral("Homebrew is installed — one command away"),
                QStringLiteral("Install Direwolf"),
                QStringLiteral("Opens a terminal to run `brew install direwolf`.  Come back to this window when it "
                               "finishes."),
                *install};
    }
    return {PacketRow::Kind::noHomebrew, QStringLiteral("Requires Homebrew — install that first"),
            QStringLiteral("Install Homebrew"),
            QStringLiteral("Opens a terminal to run the official Homebrew installer.  Come back to this window when it "
                           "finishes and you'll see the Install Direwolf button."),
            DirewolfDiscovery::kHomebrewInstallCommand};
}

InstallerRowLook packetRowLook(const PacketRow &row)
{
    InstallerRowLook look;
    look.title = QStringLiteral("Direwolf");
    look.subtitle = row.detail;
    if (row.kind == PacketRow::Kind::installed) {
        look.icon = RowIcon::installed;
        look.status = QStringLiteral("Installed");
        look.statusTone = Tone::green;
    } else {
        look.button = RowButton{row.buttonLabel, RowCommand::start, true, true};
    }
    return look;
}

QString packetSubtitle(PacketRow::Kind kind)
{
    switch (kind) {
    case PacketRow::Kind::installed: return QStringLiteral("Direwolf is installed for AX.25 packet");
    case PacketRow::Kind::packageManager: return QStringLiteral("Install Direwolf with apt for AX.25 packet");
    case PacketRow::Kind::homebrewInstalled:
    case PacketRow::Kind::noHomebrew: break;
    }
    return QStringLiteral("Install Direwolf via Homebrew for AX.25 packet");
}

InstallerRowLook hamlibRowLook(const RadioControlFacts &facts)
{
    using Phase = InstallProgress::Phase;
    InstallerRowLook look;
    look.title = QStringLiteral("Hamlib (rigctld)");
    look.subtitle = QStringLiteral("Radio control daemon for rig CAT control");
    if (facts.present) {
        look.icon = RowIcon::installed;
        if (!facts.managedInstalled) {
            look.status = QStringLiteral("System install");
        } else if (facts.installedVersion.isEmpty()) {
            look.status = QStringLiteral("Installed");
        } else {
            look.status = QLatin1Char('v') + facts.installedVersion;
        }
        look.statusTone = Tone::green;
        look.trailingCheck = true;
        return look;
    }
    const InstallProgress &progress = facts.progress;
    if (progress.working()) {
        look.icon = RowIcon::working;
        look.indicator = InstallerRowLook::Indicator::spinner;
        // The download's fraction is left out: two bottles of very different sizes make it jump.
        // Extracting lasts until the install is complete, so it reads as installing.
        if (progress.phase != Phase::downloading) {
            look.status = QStringLiteral("Installing…");
        } else {
            look.status = progress.message.isEmpty() ? QStringLiteral("Downloading…") : progress.message;
        }
        look.cancelHelp = kCancelHelp;
    } else if (!showsEnd(progress, look)) {
        look.icon = RowIcon::missing;
        look.button = RowButton{QStringLiteral("Install Hamlib"), RowCommand::start, true, true};
    }
    return look;
}

InfoBoxText radioControlInfoBox(const RadioControlFacts &facts)
{
    if (facts.systemRigctld && !facts.managedInstalled) {
        return {QStringLiteral("System Hamlib found"),
                QStringLiteral("A working rigctld was detected at ") + *facts.systemRigctld +
                    QStringLiteral(".  The Helper will use it — no managed install needed.  If you'd like a "
                                   "Helper-managed copy, choose Install Managed Copy on the rigctld page after setup.")};
    }
    return {QStringLiteral("You can skip this step"),
            QStringLiteral("Hamlib is only needed if you want Cordavelle Helper to control your radio's frequency and "
                           "mode via CAT. If you use a radio without CAT support, or control it manually, you can skip "
                           "this step and install Hamlib later from Setup.")};
}

} // namespace cordavelle::wizard
