#pragma once

#include <QString>

#include <optional>

namespace cordavelle {

// What taking the group's and others' write from the helper's own files came to.
struct ModeTightening {
    // Files and folders whose mode changed.
    int tightened = 0;
    // Those whose mode could not be changed, and the first of them with the system's reason.
    int failed = 0;
    std::optional<QString> firstFailure;
    // Folders of other users, left as they are and not looked into.
    int foreignFolders = 0;
};

// Takes write for the group and others from every file and folder at and below `folder` that
// belongs to this user, each through a descriptor of the entry looked at; links are neither
// changed nor followed, what belongs to someone else is left as it is, and a folder of someone
// else's is not entered. Earlier versions made their installs under the session's umask, which left
// them group-writable where it is 002: the check before every launch refuses such a program
// wherever the group can hold another user, although it was the helper's own.
ModeTightening tightenOwnModes(const QString &folder);

// Whether `path` is an executable file that the check before a launch takes: a copy of the
// helper's own that another user could change never runs, so it is not counted as installed.
bool isRunnableOwnCopy(const QString &path);

} // namespace cordavelle
