#pragma once

#include "widgets/status_look.h"
#include "base/service_model.h"
#include "install/installer.h"
#include "setup/installer_row.h"
#include "setup/vara_facts.h"

#include <QString>

#include <optional>

// What the wizard's install pages show, decided from the installers' progress and what is on disk,
// without a widget; the pages only draw it.
namespace cordavelle::wizard {

// --- Dependencies page ---

// The small display state of one of the page's two rows.
class DependencyRowState {
public:
    enum class Kind { idle, working, downloading, done, failed, waiting };

    static DependencyRowState idle() { return DependencyRowState(Kind::idle); }
    // A step without measurable progress; `label` stands beside a spinner.
    static DependencyRowState working(QString label) { return DependencyRowState(Kind::working, std::move(label)); }
    // `label`, when there is one, stands instead of the percentage.
    static DependencyRowState downloading(double progress, QString label = {})
    {
        return DependencyRowState(Kind::downloading, std::move(label), progress);
    }
    static DependencyRowState done() { return DependencyRowState(Kind::done); }
    static DependencyRowState failed() { return DependencyRowState(Kind::failed); }
    // The prefix can't be made before there is a Wine: it waits while one is being installed,
    // and says that it needs one while none is.
    static DependencyRowState waiting() { return DependencyRowState(Kind::waiting, QStringLiteral("Waiting…")); }
    static DependencyRowState needsWine() { return DependencyRowState(Kind::waiting, QStringLiteral("Needs Wine")); }

    Kind kind() const { return m_kind; }
    const QString &label() const { return m_label; }
    double progress() const { return m_progress; }
    bool operator==(const DependencyRowState &) const = default;

private:
    explicit DependencyRowState(Kind kind, QString label = {}, double progress = 0.0)
        : m_kind(kind), m_label(std::move(label)), m_progress(progress)
    {
    }
    Kind m_kind;
    QString m_label;
    double m_progress;
};

// A Wine found anywhere counts as done, whatever the installer's progress.
DependencyRowState wineInstallerDisplayState(const InstallProgress &progress, bool wineAvailable);
// A ready prefix counts as done whatever the manager's progress; without a Wine the row waits
// for the one being installed or says it needs one, and it waits while a cancelled set-up (still
// busy) winds down.
DependencyRowState prefixDisplayState(const InstallProgress &progress, bool prefixReady, bool wineAvailable,
                                      bool wineInstalling);

// The row's leading mark: installed wins, then the display state.
RowIcon rowStatusIcon(bool isInstalled, const DependencyRowState &state);
// A row of the page: title over subtitle, the mark and the one control that fits `state`.
InstallerRowLook dependencyRowLook(const QString &title, const QString &subtitle, bool isInstalled,
                                   const DependencyRowState &state);

// --- VARA page ---

// An installed modem shows as installed whatever its installer's progress; the installer's
// failure text goes under the row, not into it.
InstallerRowLook varaRowLook(VARAVariant variant, const InstallProgress &progress, const VARAFacts &facts);

// --- Packet page ---

// Which Direwolf row the Packet page shows and what its button runs.
struct PacketRow {
    enum class Kind { installed, packageManager, homebrewInstalled, noHomebrew };
    Kind kind = Kind::noHomebrew;
    // The found program's path, or the reason there is a button.
    QString detail;
    QString buttonLabel;
    QString buttonHelp;
    // What the button runs in a terminal; empty for the installed row.
    QString command;
    bool operator==(const PacketRow &) const = default;
};

// From the discovery's paths and the system's package manager, which the Direwolf page's
// install button also prefers.
PacketRow packetRow(const std::optional<QString> &direwolfPath, const std::optional<QString> &brewPath,
                    const std::optional<QString> &aptGetPath);
InstallerRowLook packetRowLook(const PacketRow &row);
// The way the Helper would really get Direwolf: none when it is there, apt where apt is, else Homebrew.
QString packetSubtitle(PacketRow::Kind kind);

// --- Radio Control page ---

struct RadioControlFacts {
    InstallProgress progress;
    // The helper's own copy is there.
    bool managedInstalled = false;
    // The orchestrator's look-up finds a rigctld (the managed copy included).
    bool present = false;
    QString installedVersion;
    // The rigctld the orchestrator would start when it isn't the helper's own copy.
    std::optional<QString> systemRigctld;
};

struct InfoBoxText {
    QString title;
    QString message;
    bool operator==(const InfoBoxText &) const = default;
};

// A rigctld that the helper will use hides the install's progress and its Retry.
InstallerRowLook hamlibRowLook(const RadioControlFacts &facts);
InfoBoxText radioControlInfoBox(const RadioControlFacts &facts);

} // namespace cordavelle::wizard
