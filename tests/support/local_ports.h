#pragma once

#include <QHostAddress>

#include <chrono>
#include <utility>

#include <sys/socket.h>

namespace cordavelle::test {

// A TCP port that nothing listens on and that no other program can take until the running test
// has ended (outside a test, until the process ends), so that a program the test hands it to finds
// it free whenever it binds: a port picked free and let go could be another test's by then. It is
// held by a socket bound on every address, never listened on, that lets a program which asks for
// SO_REUSEADDR (as Qt's listen, rigctld and the stand-ins do) bind and listen beside it, and lets
// this user's sockets that ask for SO_REUSEPORT alone (the helper's own holds) bind too; the
// system hands it to no other bind or connection. 0 when none could be had.
quint16 freeTcpPort();
// Two different such ports.
std::pair<quint16, quint16> twoFreeTcpPorts();
// Lets go of the ports held by freeTcpPort at the end of every test; the test binaries' main
// calls it before the tests run.
void releaseHeldPortsAfterEachTest();
// A UDP port on 127.0.0.1 that was free a moment ago. Not held like the TCP ones: Direwolf binds
// its audio port without SO_REUSEADDR, so no socket may stay beside it.
quint16 freeUdpPort();

// Whether something on `host` accepts a connection to `port` within `wait` (blocking).
[[nodiscard]] bool accepts(int port, std::chrono::milliseconds wait = std::chrono::milliseconds(1000),
             const QHostAddress &host = QHostAddress::LocalHost);
// Whether this process could bind `port` on `host` as a program that wants it would: with
// SO_REUSEADDR, and for IPv6 that family alone.
bool bindable(const QHostAddress &host, quint16 port);

// `host` and `port` as the socket calls take them, for tests that connect below Qt.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const sockaddr *get() const { return reinterpret_cast<const sockaddr *>(&storage); }
};
SocketAddress socketAddress(const QHostAddress &host, quint16 port);

} // namespace cordavelle::test
