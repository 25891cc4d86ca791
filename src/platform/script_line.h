#pragma once

#include <QString>
#include <QStringList>

#include <optional>

#include <sys/types.h>

namespace cordavelle {

// A file as the system knows it, whatever names lead to it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity &) const = default;
};

// The "#!" line of a script: the system runs `interpreter` with `argument` (when there is one,
// as one word however many spaces it holds) and then the script's path.
struct ScriptLine {
    QString interpreter;
    std::optional<QString> argument;
};

// What reading the start of a program file found.
struct ScriptRead {
    // The file starts with "#!"; nothing for a program the system runs itself.
    std::optional<ScriptLine> line;
    // The path no longer led to the file `identity` names.
    bool changed = false;
    // Why the file's first bytes could not be read (an errno): the system still runs a file this
    // user may execute but not read, through whatever its first line names, so nothing is known
    // of what would run.
    std::optional<int> unreadable;
};

// Reads the first line of the regular file at `path` as the system's exec does, provided the
// path still leads to the file `identity` names.
ScriptRead readScriptLine(const QString &path, const FileIdentity &identity);

// What env, run as a script's interpreter with `argument`, runs: the program's name (looked up
// on the search path unless it holds a slash); an empty name when env runs nothing; nothing when
// its options leave it open.
std::optional<QString> envProgram(const std::optional<QString> &argument);

// Where exec'ing `name` through the search path entry `folder` looks, as env and the C library's
// execvp do: an empty entry or a relative folder is taken from `workingFolder`, the folder the
// child runs in, and left as it reads, so that a ".." in it is taken where the system takes it.
// Nothing for such a folder when the child's folder is not known (`workingFolder` empty).
std::optional<QString> onSearchPath(const QString &name, const QString &folder, const QString &workingFolder);

// Whether the system's exec through a search path takes `candidate`: an executable regular file.
bool takenOnSearchPath(const QString &candidate);

} // namespace cordavelle
