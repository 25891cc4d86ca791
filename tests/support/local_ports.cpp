#include "local_ports.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <net/if.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstring>

namespace cordavelle::test {

quint16 freeTcpPort(const QHostAddress &address)
{
    QTcpServer server;
    server.listen(address, 0);
    return server.serverPort();
}

std::pair<quint16, quint16> twoFreeTcpPorts()
{
    QTcpServer first;
    QTcpServer second;
    first.listen(QHostAddress::LocalHost, 0);
    second.listen(QHostAddress::LocalHost, 0);
    return {first.serverPort(), second.serverPort()};
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
