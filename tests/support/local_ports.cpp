#include "local_ports.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

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

} // namespace cordavelle::test
