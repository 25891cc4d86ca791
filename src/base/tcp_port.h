#pragma once

#include <QString>

#include <optional>

namespace cordavelle {

// The TCP ports a service can listen on or be reached at.
inline constexpr int kLowestPort = 1;
inline constexpr int kHighestPort = 65535;

constexpr bool isUsablePort(qint64 port) { return port >= kLowestPort && port <= kHighestPort; }

// A TCP port typed by the user: ASCII digits only (no sign, no grouping, whatever the locale),
// surrounding spaces ignored, 1 to 65535.
std::optional<int> parsePort(const QString &text);
// What a port field says under text that is no port.
QString invalidPortText();
// What it says under a port below `lowest`, the first one this user may listen on.
QString reservedPortText(int port, int lowest);

} // namespace cordavelle
