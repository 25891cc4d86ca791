#pragma once

#include "base/helper_error.h"
#include "platform/program_search.h"

#include <QString>
#include <QStringList>

#include <optional>

// Which copy of each outside tool the helper runs. Every look-up keeps its candidates in the
// order below; the platform's tool locator then tries the same names in the machine's own folders.
// A candidate that someone other than root or this user could change is passed over (the
// lookUp… forms name the first one so passed over); whoever runs what a look-up found checks it
// again right before the launch.
namespace cordavelle::tools {

// Package managers' Direwolf copies, in the order the look-ups try them.
extern const QStringList kDirewolfCandidates;
extern const QStringList kBrewCandidates;

// Where Homebrew on Linux puts its programs: the shared "/home/linuxbrew/.linuxbrew/bin", then
// the user's own "~/.linuxbrew/bin". The brew, Direwolf and rigctld look-ups try them last, after
// the machine's own folders.
QStringList homebrewOnLinuxFolders();

// Whether an executable is usable on this machine (not x86_64-only on Apple silicon).
bool passesArchitectureCheck(const QString &path);

// Whether a Wine found on the machine can run 32-bit programs, as VARA is. Debian's packaging
// (Debian's loader in /usr/lib/wine beside a Wine in the system folders) can when its 32-bit
// loader, wine32's "/usr/lib/wine/wine", is there. A build in its own tree can when it carries
// 32-bit Windows libraries ("lib/wine/i386-windows" or "lib64/wine/i386-windows" beside its
// "bin"), which a WoW64 build does without any 32-bit system library. A Wine whose layout
// tells neither is taken at its word.
bool wineRuns32Bit(const QString &path);

// The first executable Wine that can run VARA: the helper's own, then "/opt/homebrew/bin/wine64",
// "/opt/homebrew/bin/wine", "/usr/local/bin/wine64", "/usr/local/bin/wine", then the machine's
// own folders, each only when wineRuns32Bit(); none when there is no such Wine.
ProgramSearch lookUpWine();
std::optional<QString> findWine();
// The first Wine of the same candidates that is there but cannot run 32-bit programs; none when
// there is none. It matters only while findWine() finds nothing.
std::optional<QString> findWineWithout32Bit();
// Why no Wine that can run VARA is found: the one passed over because others could change it, or
// one that cannot run 32-bit programs, or none at all.
HelperError noWineError();
// Debian's packaging of Wine is what the machine has (its 64-bit loader is there), so that
// Debian's 32-bit package completes it.
bool isDebianWine();
// The wine server that ends the helper's prefix: the helper's own, then the package managers'.
std::optional<QString> findWineserver();

// The first executable winetricks: the helper's own script, then "/opt/homebrew/bin/winetricks",
// "/usr/local/bin/winetricks", then the machine's own folders.
ProgramSearch lookUpWinetricks();
std::optional<QString> findWinetricks();

// The first usable rigctld: the helper's own Hamlib, then the package managers' copies, then
// this machine's own folders, then Homebrew's Linux folders; an Intel-only build is passed over
// on Apple silicon.
ProgramSearch lookUpRigctld();
std::optional<QString> findRigctld();

// Where the Direwolf that will run comes from; it decides which update command fits it.
enum class DirewolfSource { custom, packageManager, system, legacy };
struct DirewolfChoice {
    QString path;
    DirewolfSource source = DirewolfSource::packageManager;
    bool operator==(const DirewolfChoice &) const = default;
};
// The one answer to "which Direwolf runs", for the start and the page alike: the path the user
// chose (as it stands, even when it is gone), then the package managers' and the system's copy
// (findDirewolf()), then the copy that older versions built. None when there is no Direwolf.
std::optional<DirewolfChoice> resolveDirewolf(const QString &customPath);
// The same, with the copy passed over on the way because others could change it.
struct DirewolfLookup {
    std::optional<DirewolfChoice> choice;
    std::optional<PassedOver> passedOver;
};
DirewolfLookup lookUpDirewolf(const QString &customPath);
// The first usable package-manager Direwolf (kDirewolfCandidates), then the machine's own folders,
// then Homebrew's Linux folders; brew the same way.
std::optional<QString> findDirewolf();
std::optional<QString> findBrew();
// The system's package manager, where there is one.
std::optional<QString> findAptGet();
// `failure` ended with "Or install Debian's package: sudo apt install <package>" where apt is, for
// a fetch that Debian's package replaces, unless it gives that command already; as it is elsewhere.
QString withAptAdvice(const QString &failure, const QString &package);
// The machine's own cabextract, which the helper then need not fetch.
std::optional<QString> findSystemCabextract();

} // namespace cordavelle::tools
