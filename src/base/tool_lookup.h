#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Which copy of each outside tool the helper runs. Every look-up keeps its candidates in the
// order below; the platform's tool locator then tries the same names in the machine's own folders.
namespace cordavelle::tools {

// Package managers' Direwolf copies, in the order the look-ups try them.
extern const QStringList kDirewolfCandidates;
extern const QStringList kBrewCandidates;

// Whether an executable is usable on this machine (not x86_64-only on Apple silicon).
bool passesArchitectureCheck(const QString &path);

// The first executable Wine: the helper's own, then "/opt/homebrew/bin/wine64",
// "/opt/homebrew/bin/wine", "/usr/local/bin/wine64", "/usr/local/bin/wine", then the machine's
// own folders; none when there is no Wine.
std::optional<QString> findWine();
// The wine server that ends the helper's prefix: the helper's own, then the package managers'.
std::optional<QString> findWineserver();

// The first usable rigctld: the helper's own Hamlib, then the package managers' copies, then
// this machine's own folders; an Intel-only build is passed over on Apple silicon.
std::optional<QString> findRigctld();

// The Direwolf a start runs: the old helper-built copy first, then findDirewolf().
std::optional<QString> findInstalledDirewolf();
// The first usable package-manager Direwolf (kDirewolfCandidates), then the machine's own folders.
std::optional<QString> findDirewolf();
std::optional<QString> findBrew();

} // namespace cordavelle::tools
