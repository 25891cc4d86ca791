#pragma once

#include <QString>

namespace cordavelle {

// What one dependency's update check found: the newest version and the installed one (empty
// when it is not installed). Whether that is an update is the caller's decision.
struct DependencyVersions {
    QString latest;
    QString current;

    bool operator==(const DependencyVersions &) const = default;
};

} // namespace cordavelle
