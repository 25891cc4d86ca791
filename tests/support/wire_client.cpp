#include "wire_client.h"

#include "event_wait.h"
#include "local_ports.h"

#include <gtest/gtest.h>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace cordavelle::test {

namespace {

// The end of a TCP connection of this machine from `local` to `remote`, as the kernel's socket
// diagnosis finds it.
WireClient::ServerEnd kernelEnd(const QHostAddress &local, quint16 localPort, const QHostAddress &remote,
                                quint16 remotePort)
{
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = ~0u;
    message.request.id.idiag_sport = htons(localPort);
    message.request.id.idiag_dport = htons(remotePort);
    message.request.id.idiag_cookie[0] = message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    bool isV4 = false;
    const quint32 localV4 = local.toIPv4Address(&isV4);
    if (isV4) {
        message.request.sdiag_family = AF_INET;
        message.request.id.idiag_src[0] = htonl(localV4);
        message.request.id.idiag_dst[0] = htonl(remote.toIPv4Address());
    } else {
        message.request.sdiag_family = AF_INET6;
        const Q_IPV6ADDR localV6 = local.toIPv6Address();
        const Q_IPV6ADDR remoteV6 = remote.toIPv6Address();
        std::memcpy(message.request.id.idiag_src, localV6.c, sizeof localV6.c);
        std::memcpy(message.request.id.idiag_dst, remoteV6.c, sizeof remoteV6.c);
    }
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        return {};
    }
    alignas(nlmsghdr) char reply[4096];
    ssize_t length = -1;
    if (::send(fd, &message, sizeof message, 0) == static_cast<ssize_t>(sizeof message)) {
        length = ::recv(fd, reply, sizeof reply, 0);
    }
    ::close(fd);
    // A socket that is not there (any more) comes back as an error message.
    const auto *header = reinterpret_cast<const nlmsghdr *>(reply);
    if (length < 0 || !NLMSG_OK(header, static_cast<unsigned>(length)) || header->nlmsg_type != SOCK_DIAG_BY_FAMILY) {
        return {};
    }
    const auto *found = static_cast<const inet_diag_msg *>(NLMSG_DATA(header));
    return {found->idiag_state, found->idiag_rqueue};
}

} // namespace

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
    // Given up, the wait would read as a refusal, which some tests expect.
    if (!processEventsUntil([this] { return m_connected || m_closed; }, std::chrono::seconds(30))) {
        ADD_FAILURE() << "no answer within 30 s to a connection to port " << port;
        return false;
    }
    m_localAddress = m_socket->localAddress();
    m_localPort = m_socket->localPort();
    m_serverAddress = m_socket->peerAddress();
    m_serverPort = port;
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

WireClient::ServerEnd WireClient::serverEnd() const
{
    return kernelEnd(m_serverAddress, m_serverPort, m_localAddress, m_localPort);
}

bool WireClient::waitUntilServerHasRead(std::chrono::milliseconds limit)
{
    return processEventsUntil(
        [this] {
            // Over loopback, what has left our end is in the server's by the time the send returns.
            int unsent = 0;
            if (m_socket->bytesToWrite() > 0
                || ::ioctl(static_cast<int>(m_socket->socketDescriptor()), SIOCOUTQNSD, &unsent) != 0 || unsent > 0) {
                return false;
            }
            const ServerEnd server = serverEnd();
            return server.state == TCP_ESTABLISHED && server.unread == 0;
        },
        limit);
}

bool WireClient::isOpen() const { return !m_closed && m_socket->state() == QAbstractSocket::ConnectedState; }

QByteArray exchange(quint16 port, const QByteArray &request)
{
    WireClient client;
    if (!client.connectTo(port)) {
        return {};
    }
    client.send(request);
    if (!client.waitForClose(std::chrono::seconds(30))) {
        ADD_FAILURE() << "the server on port " << port << " did not close the connection within 30 s of a request";
    }
    return client.received();
}

bool startOnFreePort(HTTPServer &server, HTTPServer::Handler handler)
{
    const quint16 port = freeTcpPort();
    if (port == 0) {
        return false;
    }
    server.start(port, std::move(handler));
    return server.isRunning();
}

} // namespace cordavelle::test
