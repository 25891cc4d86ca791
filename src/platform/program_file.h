#pragma once

#include <QString>

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

    // The resolved path of a usable file; else the path as given, whose launch fails on its own.
    QString toLaunch() const { return unusable ? given : resolved; }
};

// Walks `path` one name at a time, following every symbolic link: every link on the way must
// belong to root or this user, every folder too, and a folder that others may write to counts
// only when it is sticky and the entry in it belongs to root or this user (others can neither
// remove nor rename it then). The file must be a regular file of root or this user that others
// can't write to, and executable when it is run. Write through a group counts as write by
// others unless the group is the private group of this user or of root, which holds nobody else. For `ProgramUse::wine` a Windows path is looked
// at where Wine maps it: C: to the prefix's drive_c, Z: to "/", other drives through the
// prefix's dosdevices.
ProgramFile inspectProgramFile(const QString &path, ProgramUse use = ProgramUse::run, const QString &winePrefix = {});

} // namespace cordavelle
