#include "http_server.h"

#include "http_request_parser.h"

#include "base/helper_logger.h"
#include "platform/log_sink.h"
#include "platform/platform.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <exception>
#include <stop_token>

namespace cordavelle {

namespace {

const Logger &serverLog()
{
    static const Logger logger(HelperLogger::subsystem(), QStringLiteral("HTTPServer"));
    return logger;
}

// The peer as the log shows it: host text, ":", port.
QString peerText(const QHostAddress &address, quint16 port)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    const QString host = mapped ? QHostAddress(v4).toString() : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

} // namespace

// One accepted connection: reads until the parser has a whole request, serves it, writes the
// reply and closes. Owned by the server; deletes itself when the socket is done.
class HTTPConnection : public QObject {
public:
    HTTPConnection(HTTPServer *server, QTcpSocket *socket, QString remote, QString remoteHost)
        : QObject(server), m_server(server), m_socket(socket), m_remote(std::move(remote)),
          m_reader(remoteHost)
    {
        m_socket->setParent(this);
        connect(m_socket, &QTcpSocket::readyRead, this, &HTTPConnection::readAvailable);
        connect(m_socket, &QTcpSocket::errorOccurred, this, &HTTPConnection::socketError);
        connect(m_socket, &QTcpSocket::disconnected, this, &HTTPConnection::peerDisconnected);
    }

    ~HTTPConnection() override { m_idleStop.request_stop(); }

    void begin()
    {
        watchForTimeout(this, Platform::current().clock(), m_idleStop.get_token());
        readAvailable();
    }

private:
    enum class Phase { reading, serving, finished };

    static QCoro::Task<void> watchForTimeout(QPointer<HTTPConnection> self, Clock &clock, std::stop_token stop)
    {
        const bool expired = co_await clock.sleep(HTTPServer::requestTimeout, stop);
        if (!expired || !self || self->m_phase != Phase::reading) {
            co_return;
        }
        serverLog().error(QStringLiteral("Request timed out from %1").arg(self->m_remote));
        self->close();
    }

    void readAvailable()
    {
        while (m_phase == Phase::reading) {
            const qint64 available = m_socket->bytesAvailable();
            if (available <= 0) {
                return;
            }
            const QByteArray chunk = m_socket->peek(std::min(available, HTTPServer::readChunkBytes));
            FeedResult result = m_reader.append(chunk);
            switch (result.kind) {
            case FeedResult::Kind::needMore:
                m_socket->skip(chunk.size());
                break;
            case FeedResult::Kind::invalid:
                serverLog().error(QStringLiteral("Invalid HTTP request from %1: %2").arg(m_remote, result.reason));
                close();
                return;
            case FeedResult::Kind::complete:
                // The socket would close the whole connection on seeing the peer end its sending
                // side, even while the reply is still being made. Leaving one byte unread with a
                // one-byte buffer keeps it from reading (and so from seeing that) any further.
                m_socket->skip(chunk.size() - 1);
                m_socket->setReadBufferSize(1);
                serverLog().info(QStringLiteral("%1 %2 from %3")
                                     .arg(result.request.method, result.request.path, m_remote));
                serve(this, std::move(result.request));
                return;
            }
        }
    }

    void socketError(QAbstractSocket::SocketError error)
    {
        if (m_phase != Phase::reading) {
            return;
        }
        if (error == QAbstractSocket::RemoteHostClosedError) {
            readAvailable();
            if (m_phase != Phase::reading) {
                return;
            }
            if (m_reader.bufferedBytes() > 0) {
                serverLog().error(QStringLiteral("Connection closed mid-request from %1").arg(m_remote));
            }
        } else {
            serverLog().error(QStringLiteral("Receive error from %1: %2").arg(m_remote, m_socket->errorString()));
        }
        close();
    }

    void peerDisconnected()
    {
        if (m_phase == Phase::reading) {
            // A close without an error report (nothing was pending): the same as the peer closing.
            socketError(QAbstractSocket::RemoteHostClosedError);
            return;
        }
        if (m_phase == Phase::finished) {
            deleteLater();
        }
    }

    static QCoro::Task<void> serve(QPointer<HTTPConnection> self, HTTPRequest request)
    {
        self->m_phase = Phase::serving;
        self->m_idleStop.request_stop();
        // Bytes after the request (a pipelined second one) are never read.
        disconnect(self->m_socket, &QTcpSocket::readyRead, self, nullptr);

        const QString remote = self->m_remote;
        HTTPServer::Handler handler = self->m_server ? self->m_server->m_handler : HTTPServer::Handler{};
        HTTPResponse response;
        if (!handler) {
            response = HTTPResponse::notFound();
        } else {
            try {
                response = co_await handler(request);
            } catch (const std::exception &e) {
                response = HTTPResponse::error(QString::fromUtf8(e.what()), 500);
            } catch (...) {
                response = HTTPResponse::error(HTTPResponse::reasonPhrase(500), 500);
            }
        }
        serverLog().info(QStringLiteral("%1 %2 \u2192 %3 from %4")
                             .arg(request.method, request.path, QString::number(response.statusCode), remote));
        if (!self) {
            co_return;  // the server went away while the handler ran
        }
        self->send(HTTPServer::formatHTTPResponse(response));
    }

    void send(const QByteArray &bytes)
    {
        m_phase = Phase::finished;
        if (m_socket->state() != QAbstractSocket::ConnectedState) {
            deleteLater();
            return;
        }
        m_socket->write(bytes);
        // Closes once the reply is written; `disconnected` then removes the connection.
        m_socket->disconnectFromHost();
        if (m_socket->state() == QAbstractSocket::UnconnectedState) {
            deleteLater();
        }
    }

    void close()
    {
        m_phase = Phase::finished;
        m_idleStop.request_stop();
        m_socket->abort();
        deleteLater();
    }

    QPointer<HTTPServer> m_server;
    QTcpSocket *m_socket;
    QString m_remote;
    HTTPRequestReader m_reader;
    std::stop_source m_idleStop;
    Phase m_phase = Phase::reading;
};

HTTPServer::HTTPServer(QObject *parent) : QObject(parent) {}

HTTPServer::~HTTPServer() = default;

void HTTPServer::start(quint16 port, Handler handler)
{
    m_handler = std::move(handler);
    if (port == 0) {
        serverLog().error(QStringLiteral("Invalid port: %1").arg(port));
        return;
    }
    auto *listener = new QTcpServer(this);
    m_listener = listener;
    connect(listener, &QTcpServer::newConnection, this, &HTTPServer::acceptPendingConnections);
    setPort(port);
    // Every interface; who may talk to us is decided per connection.
    if (!listener->listen(QHostAddress::Any, port)) {
        const QString reason = listener->errorString();
        setRunning(false);
        serverLog().error(QStringLiteral("HTTP server failed: %1").arg(reason));
        // Reported later, as a listener failure is, so the caller finishes `start` first.
        QMetaObject::invokeMethod(
            this,
            [this, reason] {
                if (m_failureHandler) {
                    m_failureHandler(reason);
                }
            },
            Qt::QueuedConnection);
        return;
    }
    setRunning(true);
    setPort(listener->serverPort());
    serverLog().info(QStringLiteral("HTTP server listening on port %1").arg(m_port));
}

void HTTPServer::setRunning(bool running)
{
    if (m_isRunning != running) {
        m_isRunning = running;
        emit isRunningChanged(running);
    }
}

void HTTPServer::setPort(quint16 port)
{
    if (m_port != port) {
        m_port = port;
        emit portChanged(port);
    }
}

void HTTPServer::acceptPendingConnections()
{
    while (m_listener && m_listener->hasPendingConnections()) {
        handleConnection(m_listener->nextPendingConnection());
    }
}

bool HTTPServer::admits(const QString &remoteHost) const
{
    if (remoteHost == QLatin1String("127.0.0.1") || remoteHost == QLatin1String("::1")) {
        return true;
    }
    return m_networkAccess && m_networkAccess() && isLocalNetworkHost(remoteHost);
}

void HTTPServer::handleConnection(QTcpSocket *socket)
{
    const QHostAddress peer = socket->peerAddress();
    if (peer.isNull()) {
        // Reset before it was taken up: nobody is left to answer, and nothing was rejected.
        socket->abort();
        socket->deleteLater();
        return;
    }
    const QString remoteHost = canonicalHostString(peer);
    const QString remote = peerText(peer, socket->peerPort());
    if (!admits(remoteHost)) {
        serverLog().error(QStringLiteral("Rejected non-local connection from %1").arg(remote));
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (serverLog().isEnabled(LogLevel::Debug)) {
        serverLog().debug(QStringLiteral("Connection from %1").arg(remote));
    }
    auto *connection = new HTTPConnection(this, socket, remote, remoteHost);
    connection->begin();
}

QString HTTPServer::canonicalHostString(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) {
        return QHostAddress(v4).toString();
    }
    QString text = address.toString();
    const qsizetype zone = text.indexOf(QLatin1Char('%'));
    if (zone >= 0) {
        text.truncate(zone);
    }
    return text;
}

bool HTTPServer::isLocalNetworkHost(const QString &host)
{
    const QHostAddress address(host);
    if (address.isNull()) {
        return false;
    }
    static const QList<QPair<QHostAddress, int>> localNetworks = {
        QHostAddress::parseSubnet(QStringLiteral("127.0.0.0/8")),
        QHostAddress::parseSubnet(QStringLiteral("10.0.0.0/8")),
        QHostAddress::parseSubnet(QStringLiteral("172.16.0.0/12")),
        QHostAddress::parseSubnet(QStringLiteral("192.168.0.0/16")),
        QHostAddress::parseSubnet(QStringLiteral("169.254.0.0/16")),
        QHostAddress::parseSubnet(QStringLiteral("::1/128")),
        QHostAddress::parseSubnet(QStringLiteral("fe80::/10")),
        QHostAddress::parseSubnet(QStringLiteral("fc00::/7")),
    };
    for (const auto &network : localNetworks) {
        if (address.isInSubnet(network)) {
            return true;
        }
    }
    return false;
}

QByteArray HTTPServer::formatHTTPResponse(const HTTPResponse &response)
{
    QByteArray out;
    out.reserve(128 + response.body.size());
    out += "HTTP/1.1 " + QByteArray::number(response.statusCode) + ' ' + response.statusText.toUtf8() + "\r\n";
    out += "Content-Type: " + response.contentType.toUtf8() + "\r\n";
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    out += "Connection: close\r\n";
    out += "\r\n";
    out += response.body;
    return out;
}

quint16 HTTPServer::apiPortOrDefault(qint64 configured)
{
    if (configured >= 1 && configured <= 65535) {
        return static_cast<quint16>(configured);
    }
    HelperLogger::warning(QStringLiteral("[HTTPServer] apiPort %1 is not a usable port; serving on %2 instead")
                              .arg(configured)
                              .arg(defaultPort),
                          HelperLogger::Category::network);
    return defaultPort;
}

} // namespace cordavelle
