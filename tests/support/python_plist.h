#pragma once

#include "base/json_support.h"

#include <QString>

#include <optional>

namespace cordavelle::test {

// The property-list file as Python's plistlib reads it, as JSON: data values as their UTF-8 text,
// dates as text. Absent when plistlib refuses the file (or python3 can't be run).
std::optional<Json> readWithPlistlib(const QString &path);

} // namespace cordavelle::test
