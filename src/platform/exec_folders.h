#pragma once

#include <QByteArray>
#include <QString>

namespace cordavelle {

// The private folders in the temporary folder through which a child is exec'd under its
// program's own name: each holds one link to the open program and lives while the exec is
// prepared.

// Makes one such folder, of this user's alone, and returns its descriptor, open and locked for as
// long as it stays open, with its path in `path`; -1 when none could be made, which is logged
// the first time (the child then runs without the name).
int makeExecFolder(const QString &temporaryFolder, QByteArray &path);

// Removes, from `temporaryFolder`, the exec folders that a helper which ended before it could
// remove them left behind: only folders of this user with mode 0700 that hold nothing but the
// link, and none that a helper still holds. Links are never followed. Returns how many went.
int sweepLeftExecFolders(const QString &temporaryFolder);

} // namespace cordavelle
