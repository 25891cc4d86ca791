#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

namespace cordavelle::test {

// An IPv6 link-local address of this machine, with its interface as the zone, for a client of
// this machine to connect through. Where the machine has none (a test's network namespace holds
// only the loopback), root makes one: the calling thread moves to a network namespace of its own
// (nothing outside the test sees it), whose loopback comes up with fe80::1 on it; a test that asks
// as a user is noted as needing root (see runsAsRoot()). Otherwise none, and `whyNot` says why.
std::optional<QHostAddress> ownLinkLocalAddress(QString *whyNot);

} // namespace cordavelle::test
