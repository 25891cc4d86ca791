#pragma once

#include "script_line.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace cordavelle {

// How a program file is used: run by the system, or read by Wine, which also takes a Windows path
// ("C:\VARA\VARA.exe") and finds a name in any case.
enum class ProgramUse { run, wine };

// What a program path leads to, looked at as this user would run it.
struct ProgramFile {
    // The path as it was given.
    QString given;
    // The path with every symbolic link of the file and of its folders resolved, as far as it
    // goes: what to run, so that a link changed after this look is not followed.
    QString resolved;
    // The part that someone other than root or this user could change to put another program
    // there ("the folder /srv/shared is writable by others"); nothing when there is none.
    std::optional<QString> changeable;
    // Why the file can't be run as it stands ("/opt/x can't be used: No such file or
    // directory"); nothing when it can.
    std::optional<QString> unusable;
    // The file the walk ended at, when it may be run: a launch runs this very file, so that one
    // put in its place after the look runs nothing.
    std::optional<FileIdentity> identity;
    // The file is a "#!" script, which the system runs through the program its first line names.
    bool script = false;

    // The resolved path of a usable file; else the path as given, whose launch fails on its own.
    QString toLaunch() const { return unusable ? given : resolved; }
};

// Walks `path` one name at a time, following every symbolic link: every link on the way must
// belong to root or this user, every folder too, and a folder that others may write to counts
// only when it is sticky and the entry in it belongs to root or this user (others can neither
// remove nor rename it then). The file must be a regular file of root or this user that others
// can't write to, and executable when it is run. Write through a group, or granted to a user or
// a group by an access list, counts as write by others unless it is this user, root, or the
// private group of either, which holds nobody else (see EntryWriters). For `ProgramUse::wine` a
// Windows path is looked at where Wine maps it: C: to the prefix's drive_c, Z: to "/", other drives through the
// prefix's dosdevices.
//
// A script that is run is only as safe as what runs it: the program on its "#!" line is looked at
// in the same way, and for env the program env would run, found through `searchPath` (the
// child's; the helper's own PATH when empty), along with every folder env searches before it,
// which must be no more changeable by others than a program's own folders.
// The system takes a relative program on the "#!" line, and a relative folder of that search path
// (an empty one among them), from the folder the child runs in: `workingFolder`, walked with the
// rest of the path so that a ".." is taken from where a link led. Where that folder is not known
// (`workingFolder` empty), such a script is unusable rather than looked at in a guessed place.
// A file whose first bytes this user can't read is unusable: what the system would run it with
// can't be told.
ProgramFile inspectProgramFile(const QString &path, ProgramUse use = ProgramUse::run, const QString &winePrefix = {},
                               const QStringList &searchPath = {}, const QString &workingFolder = {});

// Walks the folder `folder` as inspectProgramFile walks a program's folders, for a folder that
// is to hold entries only this user may change: every link and folder on the way from "/" must
// belong to root or this user, and none of them, `folder` included, may be written by another
// user unless it is sticky (where nobody else may move the user's own entries). What another user
// could change ("the folder /srv/team is writable by the group team, which can hold other
// users"), or why the folder can't be looked at; nothing when the user's entries there are hers
// alone.
std::optional<QString> othersMayChangeEntriesOf(const QString &folder);

// What othersMayChangeEntriesOf's walk of `folder` found, with the folder it ended at.
struct FolderWalk {
    // The folder the walk ended at: where the system goes for `folder`, every link followed and
    // each ".." taken from where a link led. What a check of the way approved, and so the path to
    // use, since nobody else can change where it leads.
    QString real;
    // As othersMayChangeEntriesOf says; nothing when the user's entries there are hers alone.
    std::optional<QString> othersMayChange;
    // The way ended at a name that is not there, in a folder that nobody else may change: `real`
    // is where the folder would be made, and `othersMayChange` says it is missing.
    bool missing = false;
};
FolderWalk walkFolder(const QString &folder);

// Opens the file that the look `file` ended at, by its resolved path, without following a link
// (O_PATH, close-on-exec): -1 when the look took no file, or when the path leads to another file
// now, which a launch must not run.
int openLookedAt(const ProgramFile &file);

} // namespace cordavelle
