#include "local_ports.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <net/if.h>
#include <netinet/in.h>

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

bool accepts(int port, std::chrono::milliseconds wait)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    const bool ok = socket.waitForConnected(static_cast<int>(wait.count()));
    socket.abort();
    return ok;
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
