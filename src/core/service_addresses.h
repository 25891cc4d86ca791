#pragma once

#include "base/service_model.h"
#include "platform/port_hold.h"

#include <QString>

#include <optional>

namespace cordavelle {

// The address rigctld is told to listen on (-T): IPv4's loopback address; with network access
// every address of both families where one IPv6 socket may take both ("::", which rigctld opens
// without IPV6_V6ONLY), else every IPv4 one. rigctld opens one socket only, so its loopback can't
// cover IPv6's as well.
QString rigctldListenAddress(bool networkAccess, bool bothFamilies);

// The IPv6 address the helper holds on each of the service's ports while it runs, so that a
// client that looks up "localhost" (::1 first) or reaches the machine over IPv6 finds no other
// user's program there: the loopback address, or every address with network access. None where
// the child listens on IPv6 itself. Direwolf (Debian's 1.6) and VARA (a Windows program whose
// sockets are IPv4 only) listen on every IPv4 address and on no IPv6 one.
std::optional<PortHold::Address> otherFamilyHold(ServiceID id, bool networkAccess, bool bothFamilies);

} // namespace cordavelle
