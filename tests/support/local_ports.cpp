#include "local_ports.h"

#include <QTcpSocket>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace cordavelle::test {

namespace {

// The sockets that hold the ports freeTcpPort handed out during the running test.
std::vector<int> &heldPorts()
{
    static std::vector<int> sockets;
    return sockets;
}

void releaseHeldPorts()
{
    for (const int fd : heldPorts()) {
        ::close(fd);
    }
    heldPorts().clear();
}

class HeldPortRelease final : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo &) override { releaseHeldPorts(); }
};

// Both reuse options: SO_REUSEADDR lets a program that asks for it listen beside a socket that
// never listens; SO_REUSEPORT lets this user's sockets that ask only for that bind beside it.
// Neither lets the system pick the port for another socket, which it gives only to ports no
// socket is bound to.
bool allowsSharing(int fd)
{
    const int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
           && ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0;
}

// The port of a socket bound, at a port the system picks, on the IPv6 wildcard address for both
// families, or on the IPv4 one where IPv6 is off; 0 when neither could be bound.
quint16 holdPort()
{
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        const int off = 0;
        sockaddr_in6 any{};
        any.sin6_family = AF_INET6;
        any.sin6_addr = in6addr_any;
        if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0 || !allowsSharing(fd)
            || ::bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        if (fd >= 0
            && (!allowsSharing(fd) || ::bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) != 0)) {
            ::close(fd);
            fd = -1;
        }
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return 0;
    }
    heldPorts().push_back(fd);
    return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 &>(bound).sin6_port
                                             : reinterpret_cast<const sockaddr_in &>(bound).sin_port);
}

} // namespace

quint16 freeTcpPort() { return holdPort(); }

std::pair<quint16, quint16> twoFreeTcpPorts() { return {holdPort(), holdPort()}; }

void releaseHeldPortsAfterEachTest()
{
    ::testing::UnitTest::GetInstance()->listeners().Append(new HeldPortRelease);
}

quint16 freeUdpPort()
{
    QUdpSocket socket;
    socket.bind(QHostAddress::LocalHost, 0);
    return socket.localPort();
}

bool accepts(int port, std::chrono::milliseconds wait, const QHostAddress &host)
{
    QTcpSocket socket;
    socket.connectToHost(host, static_cast<quint16>(port));
    const bool ok = socket.waitForConnected(static_cast<int>(wait.count()));
    socket.abort();
    return ok;
}

bool bindable(const QHostAddress &host, quint16 port)
{
    const SocketAddress address = socketAddress(host, port);
    const int fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const bool bound = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0
                       && (address.storage.ss_family != AF_INET6
                           || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0)
                       && ::bind(fd, address.get(), address.length) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return bound;
}

SocketAddress socketAddress(const QHostAddress &host, quint16 port)
{
    SocketAddress address;
    if (host.protocol() == QAbstractSocket::IPv6Protocol) {
        auto &v6 = reinterpret_cast<sockaddr_in6 &>(address.storage);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = host.toIPv6Address();
        std::memcpy(&v6.sin6_addr, bytes.c, 16);
        // A link-local address is reached through the interface its zone names.
        v6.sin6_scope_id = host.scopeId().isEmpty() ? 0 : ::if_nametoindex(host.scopeId().toLocal8Bit().constData());
        address.length = sizeof v6;
    } else {
        auto &v4 = reinterpret_cast<sockaddr_in &>(address.storage);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(host.toIPv4Address());
        address.length = sizeof v4;
    }
    return address;
}

} // namespace cordavelle::test
