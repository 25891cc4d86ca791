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
};

// Reads the first line of the regular file at `path` as the system's exec does, provided the
// path still leads to the file `identity` names. A file this user can't read reads as no script:
// the system can't hand it to an interpreter that runs as this user either.
ScriptRead readScriptLine(const QString &path, const FileIdentity &identity);

// What env, run as a script's interpreter with `argument`, runs: the program's name (looked up
// on the search path unless it holds a slash); an empty name when env runs nothing; nothing when
// its options leave it open.
std::optional<QString> envProgram(const std::optional<QString> &argument);

// The file that exec'ing `name` through the search path `folders` reaches, as env and the C
// library's execvp find it: the first executable regular file. Empty entries and relative folders
// are the working folder, which a child inherits. Nothing when none.
std::optional<QString> firstOnSearchPath(const QString &name, const QStringList &folders);

} // namespace cordavelle
