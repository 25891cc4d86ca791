#include "scripted_tcp_server.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <memory>

namespace cordavelle::test {

ScriptedTcpServer::ScriptedTcpServer(QByteArray reply, Then then) : ScriptedTcpServer(std::move(reply), then, false) {}

ScriptedTcpServer::ScriptedTcpServer(QByteArray reply, Then then, bool closeAtOnce)
    : m_reply(std::move(reply)), m_then(then), m_closeAtOnce(closeAtOnce)
{
    std::promise<quint16> listening;
    auto port = listening.get_future();
    m_thread = std::thread([this, p = std::move(listening)]() mutable { serve(std::move(p)); });
    m_port = port.get();
}

std::unique_ptr<ScriptedTcpServer> ScriptedTcpServer::closingAtOnce()
{
    return std::unique_ptr<ScriptedTcpServer>(new ScriptedTcpServer({}, Then::close, true));
}

ScriptedTcpServer::~ScriptedTcpServer()
{
    m_stop = true;
    m_thread.join();
}

QByteArray ScriptedTcpServer::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

void ScriptedTcpServer::serve(std::promise<quint16> listening)
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    listening.set_value(server.serverPort());

    while (!m_stop && !server.waitForNewConnection(50)) {
    }
    std::unique_ptr<QTcpSocket> socket(server.nextPendingConnection());
    if (!socket) {
        return;
    }
    if (m_closeAtOnce) {
        socket->abort();
        return;
    }
    const auto gather = [&](int ms) {
        if (socket->waitForReadyRead(ms)) {
            std::lock_guard lock(m_mutex);
            m_received += socket->readAll();
        }
    };
    while (!m_stop && socket->state() == QAbstractSocket::ConnectedState && received().isEmpty()) {
        gather(50);
    }
    if (!m_reply.isEmpty()) {
        socket->write(m_reply);
        socket->waitForBytesWritten(2000);
    }
    if (m_then == Then::close) {
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState) {
            socket->waitForDisconnected(2000);
        }
        return;
    }
    while (!m_stop && socket->state() == QAbstractSocket::ConnectedState) {
        gather(m_then == Then::keepSending ? 100 : 50);
        if (m_then == Then::keepSending) {
            socket->write(m_reply);
            socket->waitForBytesWritten(2000);
        }
    }
}

} // namespace cordavelle::test
