#pragma once

#include <QHostAddress>

#include <chrono>
#include <utility>

#include <sys/socket.h>

namespace cordavelle::test {

// A TCP port on `address` that was free a moment ago, so nothing listens there until someone
// binds it. 0 when none could be bound.
quint16 freeTcpPort(const QHostAddress &address = QHostAddress::LocalHost);
// Two different TCP ports on 127.0.0.1 that were free a moment ago (both held while picked, so the
// system cannot hand out the same one twice).
std::pair<quint16, quint16> twoFreeTcpPorts();
// A UDP port on 127.0.0.1 that was free a moment ago.
quint16 freeUdpPort();

// Whether something on `host` accepts a connection to `port` within `wait` (blocking).
bool accepts(int port, std::chrono::milliseconds wait = std::chrono::milliseconds(1000),
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
