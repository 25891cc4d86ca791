#pragma once

#include "base/service_config.h"

#include <QString>

#include <optional>

namespace cordavelle {

// What a client may store through the API. Each record is checked whole, against the one stored
// now: a program path the client sent back unchanged is not checked again.
namespace config_limits {

// The longest texts stored, in UTF-8 bytes: a file or device path, and any other name.
inline constexpr qsizetype kMaxPathBytes = 4096;
inline constexpr qsizetype kMaxNameBytes = 255;
// AX.25 station identifiers.
inline constexpr int kMaxSsid = 15;
// The KISS and AGW ports Direwolf listens on; for any other it falls back to its own default.
inline constexpr int kMinDirewolfPort = 1024;
inline constexpr int kMaxDirewolfPort = 49151;

// Why the record can't be stored ("tcpPort must be between 1 and 65535"), or nothing.
std::optional<QString> problem(const VARAConfigFields &record, const VARAConfigFields &stored);
std::optional<QString> problem(const RigctldConfig &record, const RigctldConfig &stored);
std::optional<QString> problem(const DirewolfConfig &record, const DirewolfConfig &stored);

// The same length rule for a lone name (the station callsign).
std::optional<QString> nameProblem(const char *key, const QString &value);

} // namespace config_limits

} // namespace cordavelle
