#pragma once

#include <QString>

#include <optional>

namespace cordavelle {

// Why `path` may not be run as this user when it came from outside (a client of the API): it
// must be an absolute path to a regular file that only root or this user can change, in
// folders that only root or this user can change (a root-owned folder with the sticky bit, such
// as /tmp, counts as safe). Symbolic links are followed and their folders checked too. Nothing
// when the file may be run; else the reason, naming the file or folder at fault.
std::optional<QString> untrustedProgramReason(const QString &path);

} // namespace cordavelle
