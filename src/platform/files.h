#pragma once

#include "described_error.h"

#include <QByteArray>
#include <QString>

#include <exception>
#include <optional>

namespace cordavelle {

// A file-system operation that failed; `description()` is the text shown to the user.
class FileError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

// Writes the whole file through a temporary file in the same folder, checking every write and
// flushing it to the disk before a rename gives it the name, then flushing the folder: a reader,
// and the next start after a crash, sees either the old or the new content, never a part. On any
// failure (a full disk among them) the old file stays as it was and FileError says why.
// `permissions` (POSIX mode bits) apply to the new file before anything is written into it; 0
// keeps the mode of the file replaced, or the default for a new one, either without the group's
// and others' write whatever the umask.
void writeFileAtomically(const QString &path, const QByteArray &bytes, unsigned permissions = 0);

// Moves a file that can't be read to "<path>.corrupt" (replacing an older one there), so that it
// is kept for the user and nothing overwrites it. False when it could not be moved.
bool moveAsideAsCorrupt(const QString &path);

// Removes the temporary files "<name>.XXXXXX" that an atomic write of `path` interrupted by a
// crash left in its folder, when that folder is the user's own as usersOwnFolder() says; else
// removes nothing and, given `refusal`, says why there. Returns how many went.
int removeLeftoverTemporaryFiles(const QString &path, QString *refusal = nullptr);

// The folder that holds `path` as the system finds it: the text before its last name, not cleaned
// (QFileInfo::absolutePath() would drop "link/.." as text and name another folder); "/" for an
// entry of the root, the working folder for a bare name.
QString folderOf(const QString &path);

// Where the system goes for the folder `path`: every symbolic link on the way followed, and each
// ".." taken from the folder a link led to, as the kernel does, where cleaning the path as text
// would drop "link/.." and name another folder. A relative path is taken from the working
// folder. Names at its end that are not there yet are kept as they are (a "." among them
// dropped). Throws FileError when the way can't be followed (a folder that can't be entered, a
// ".." after a missing name).
QString realFolderPath(const QString &path);

// Makes sure `path` is a folder that only this user can enter (mode 0700, owned by the user,
// not a symbolic link), creating it (and its parents) when missing, and returns where it really
// is: the folder around it resolved as realFolderPath does, which is what was checked and what
// every later use must name. A folder of someone else in its place is refused, since whatever we
// put there could be swapped before use, and so is one that another user could move aside
// through any folder on its way from "/" (the rule of othersMayChangeEntriesOf). Throws
// FileError, naming the real folder where it differs from `path`.
QString makePrivateFolder(const QString &path);

// Takes every access of the group and of others away from what this user owns at `path` (a
// folder becomes 0700, a file 0600, a program 0700); a symbolic link and what another user owns
// stay as they are. True when nothing is left to take away, also when `path` is absent.
bool restrictToOwner(const QString &path);

// Makes the folder `path`, with its parents, when it is missing, then restricts it as
// restrictToOwner does. A folder already there costs a single lstat(2). False when it could not
// be made or restricted.
bool makeFolderForOwner(const QString &path);

// Makes the folder `path` with every missing parent, where realFolderPath says it is, each without write for the group or others
// whatever the umask (0755 at most), so that a program put inside can pass the check before a
// launch. A folder already there stays as it is. False, with errno saying why, when one could not
// be made.
bool makeFolders(const QString &path);

// Where the folder `path` really is, when neither it nor any folder or link on its way from "/"
// may be changed by another user (the rule of othersMayChangeEntriesOf): the only kind of folder
// the helper removes anything from or puts an install in. Whoever may change the way could lead a
// removal into a folder of the user's that she could never touch herself, or an install into a
// folder of hers, between a look and its use; every later use names the place returned, the one
// looked at. A folder that is not there yet, where nobody else could make it, is no refusal: its
// place is returned. Throws FileError naming the folder and who else may change it.
QString usersOwnFolder(const QString &path);

// Where the entry `path` names really is: in the folder around it as usersOwnFolder() finds it,
// under its own name, so that a link at that name is itself and never followed. Nothing when
// `path` ends in no name of its own ("/", "." or ".."). Throws FileError as usersOwnFolder() does.
std::optional<QString> usersOwnEntry(const QString &path);

// Whether `count` more descriptors can be opened right now. For work that needs descriptors in a
// library that ends the process when it can't have them: it waits until they are there.
bool haveSpareDescriptors(int count);

} // namespace cordavelle
