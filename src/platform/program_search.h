#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace cordavelle {

// A candidate that a look-up did not take because someone other than root or this user could
// change what would run there.
struct PassedOver {
    QString path;
    // What could be changed ("the file /x/rigctld belongs to another user").
    QString part;
    bool operator==(const PassedOver &) const = default;
};

// One look-up over candidates in order: the first one taken, and the first one passed over on
// the way, which is what a caller names when nothing was taken.
struct ProgramSearch {
    std::optional<QString> found;
    std::optional<PassedOver> passedOver;

    // Takes `path` (and ends the look-up) when it is an executable file that `accept` (when
    // given) takes and that inspectProgramFile() finds neither changeable by others nor
    // unusable; one that others could change is remembered as passed over.
    bool consider(const QString &path, const std::function<bool(const QString &)> &accept = {});
};

// "rigctld at /x/rigctld was passed over: it can be changed by another user (the file
// /x/rigctld belongs to another user)".
QString passedOverText(const QString &program, const PassedOver &passedOver);

// `name` looked for as the system's exec would, in the folders of `searchPath` in order (the
// helper's own PATH when it is empty), skipping a copy that others could change.
ProgramSearch searchPathFor(const QString &name, const QStringList &searchPath = {});
// A program named by its path, or by a bare name looked for on the helper's PATH, as the look-ups
// above take it.
ProgramSearch findProgram(const QString &program);

} // namespace cordavelle
