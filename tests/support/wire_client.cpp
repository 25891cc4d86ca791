#include "wire_client.h"

#include "event_wait.h"
#include "local_ports.h"

#include <sys/socket.h>

namespace cordavelle::test {

WireReply WireReply::parse(const QByteArray &bytes)
{
    WireReply reply;
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    if (end < 0) {
        return reply;
    }
    QList<QByteArray> lines = bytes.left(end + 2).split('\n');
    lines.removeLast();  // the empty piece after the last line break
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (!line.endsWith('\r')) {
            return reply;
        }
        line.chop(1);
        if (i == 0) {
            reply.statusLine = line;
        } else {
            reply.headerLines << line;
        }
    }
    const QList<QByteArray> status = reply.statusLine.split(' ');
    if (status.size() < 3 || status[0] != "HTTP/1.1") {
        return reply;
    }
    reply.statusCode = status[1].toInt();
    reply.body = bytes.mid(end + 4);
    reply.wellFormed = true;
    return reply;
}

bool WireClient::connectTo(quint16 port, const QHostAddress &host, const QHostAddress &source)
{
    m_socket = std::make_unique<QTcpSocket>();
    m_received.clear();
    m_closed = false;
    m_connected = false;
    QObject::connect(m_socket.get(), &QTcpSocket::readyRead, [this] { m_received += m_socket->readAll(); });
    QObject::connect(m_socket.get(), &QTcpSocket::connected, [this] { m_connected = true; });
    QObject::connect(m_socket.get(), &QTcpSocket::disconnected, [this] {
        if (m_socket->isOpen()) {
            m_received += m_socket->readAll();
        }
        m_closed = true;
    });
    QObject::connect(m_socket.get(), &QTcpSocket::errorOccurred, [this](QAbstractSocket::SocketError) {
        if (m_socket->state() == QAbstractSocket::UnconnectedState) {
            m_closed = true;
        }
    });
    if (!source.isNull() && !m_socket->bind(source, 0)) {
        return false;
    }
    m_socket->connectToHost(host, port);
    processEventsUntil([this] { return m_connected || m_closed; });
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A peer the server refuses may already be cut off again here.
    return m_connected;
}

void WireClient::send(const QByteArray &bytes)
{
    if (!isOpen()) {
        return;
    }
    m_socket->write(bytes);
    m_socket->flush();
}

void WireClient::finishSending()
{
    m_socket->flush();
    ::shutdown(static_cast<int>(m_socket->socketDescriptor()), SHUT_WR);
}

void WireClient::closeNow() { m_socket->abort(); }

bool WireClient::waitForClose(std::chrono::milliseconds limit)
{
    return processEventsUntil([this] { return m_closed; }, limit);
}

bool WireClient::isOpen() const { return !m_closed && m_socket->state() == QAbstractSocket::ConnectedState; }

QByteArray exchange(quint16 port, const QByteArray &request)
{
    WireClient client;
    if (!client.connectTo(port)) {
        return {};
    }
    client.send(request);
    client.waitForClose();
    return client.received();
}

bool startOnFreePort(HTTPServer &server, HTTPServer::Handler handler)
{
    const quint16 port = freeTcpPort(QHostAddress::Any);
    if (port == 0) {
        return false;
    }
    server.start(port, std::move(handler));
    return server.isRunning();
}

} // namespace cordavelle::test
