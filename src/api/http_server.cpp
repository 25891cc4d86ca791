#include "http_server.h"

#include "http_request_parser.h"

#include "base/helper_logger.h"
#include "base/tcp_port.h"
#include "core/config_store.h"
#include "platform/log_sink.h"
#include "platform/logger.h"
#include "platform/network_interfaces.h"
#include "platform/platform.h"
#include "platform/stream_socket.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QStringEncoder>
#include <QTcpServer>

#include <algorithm>
#include <array>
#include <charconv>
#include <exception>
#include <stop_token>

namespace cordavelle {

namespace {

const Logger &serverLog()
{
    static const Logger logger(HelperLogger::subsystem(), QStringLiteral("HTTPServer"));
    return logger;
}

QString withoutZone(const QString &hostText)
{
    const qsizetype zone = hostText.indexOf(QLatin1Char('%'));
    return zone < 0 ? hostText : hostText.left(zone);
}

// The peer as log lines name it, "127.0.0.1:51234"; made only for a line that is written.
QString remoteText(const QString &hostText, quint16 port) { return hostText + QLatin1Char(':') + QString::number(port); }

} // namespace

// Hands each accepted descriptor straight to the server: a connection is read and answered on
// its bare socket, which costs a fraction of the system calls and allocations of a QTcpSocket.
class HTTPListener final : public QTcpServer {
public:
    explicit HTTPListener(HTTPServer *server) : QTcpServer(server), m_server(server) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_server->handleConnection(descriptor); }

private:
    HTTPServer *m_server;
};

// One accepted connection: reads until the parser has a whole request, serves it, writes the
// reply and closes. Owned by the server. A request that is whole on the first read is served at
// once, without a notifier or a timer; only a connection that has to wait gets them.
class HTTPConnection : public QObject {
public:
    HTTPConnection(HTTPServer *server, qintptr descriptor, QString hostText, quint16 port, QString remoteHost)
        : QObject(server), m_server(server), m_descriptor(descriptor), m_hostText(std::move(hostText)), m_port(port),
          m_reader(std::move(remoteHost))
    {
        server->m_connections.push_back(this);
    }

    ~HTTPConnection() override
    {
        m_idleStop.request_stop();
        closeSocket();
        if (m_server) {
            m_server->m_connections.remove(this);
        }
    }

    bool isWaitingForRequest() const { return m_phase == Phase::reading; }
    // Gives the place up to a newer connection.
    void drop() { finish(); }

    // Reads what has arrived. Returns whether the connection is done and may be deleted now.
    bool begin()
    {
        m_inBegin = true;
        readAvailable();
        m_inBegin = false;
        if (m_phase == Phase::reading) {
            m_readNotifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Read, this);
            connect(m_readNotifier, &QSocketNotifier::activated, this, &HTTPConnection::readAvailable);
            m_idleStop = std::stop_source();
            watchForTimeout(this, m_server->m_clock, m_idleStop.get_token());
        }
        return m_phase == Phase::finished;
    }

private:
    enum class Phase { reading, serving, writing, finished };

    QString remote() const { return remoteText(m_hostText, m_port); }

    static QCoro::Task<void> watchForTimeout(QPointer<HTTPConnection> self, Clock &clock, std::stop_token stop)
    {
        const bool expired = co_await clock.sleep(HTTPServer::kRequestTimeout, stop);
        if (!expired || !self || self->m_phase != Phase::reading) {
            co_return;
        }
        serverLog().error(QStringLiteral("Request timed out from %1").arg(self->remote()));
        self->finish();
    }

    void readAvailable()
    {
        // Everything runs on the main thread, so one read buffer serves every connection.
        static std::array<char, HTTPServer::kReadChunkBytes> chunk;
        while (m_phase == Phase::reading) {
            const stream_socket::Transfer received =
                stream_socket::receive(m_descriptor, chunk.data(), static_cast<qint64>(chunk.size()));
            switch (received.kind) {
            case stream_socket::Transfer::Kind::moved:
                break;
            case stream_socket::Transfer::Kind::wouldBlock:
                return;
            case stream_socket::Transfer::Kind::peerFinished:
                // Silently when the peer sent nothing at all.
                if (m_reader.bufferedBytes() > 0) {
                    serverLog().error(QStringLiteral("Connection closed mid-request from %1").arg(remote()));
                }
                finish();
                return;
            case stream_socket::Transfer::Kind::failed:
                serverLog().error(QStringLiteral("Receive error from %1: %2").arg(remote(), received.error));
                finish();
                return;
            }
            FeedResult result = m_reader.append(QByteArrayView(chunk.data(), received.bytes));
            switch (result.kind) {
            case FeedResult::Kind::needMore:
                break;
            case FeedResult::Kind::invalid:
                serverLog().error(QStringLiteral("Invalid HTTP request from %1: %2").arg(remote(), result.reason));
                finish();
                return;
            case FeedResult::Kind::badRequest:
                serverLog().error(QStringLiteral("Bad request from %1: %2").arg(remote(), result.reason));
                stopReading();
                reply(HTTPResponse::error(result.reason, 400));
                return;
            case FeedResult::Kind::complete:
                if (serverLog().isEnabled(LogLevel::Info)) {
                    serverLog().info(QStringLiteral("%1 %2 from %3")
                                         .arg(result.request.method, result.request.path, remote()));
                }
                serve(this, std::move(result.request));
                return;
            }
        }
    }

    void stopReading()
    {
        m_phase = Phase::serving;
        m_idleStop.request_stop();
        // Bytes after the request (a pipelined second one) are never read, and the end of the
        // peer's sending side does not end the connection while the reply is being made.
        if (m_readNotifier) {
            m_readNotifier->setEnabled(false);
        }
    }

    void reply(const HTTPResponse &response)
    {
        m_reply = HTTPServer::formatHTTPResponse(response);
        m_phase = Phase::writing;
        writePending();
    }

    static QCoro::Task<void> serve(QPointer<HTTPConnection> self, HTTPRequest request)
    {
        self->stopReading();

        // Kept here: the connection may be gone once the handler returns.
        const QString hostText = self->m_hostText;
        const quint16 port = self->m_port;
        const QString method = request.method;
        const QString path = request.path;
        // Held, not copied: the handler lives until this request is answered, even when the server
        // is deleted meanwhile.
        const std::shared_ptr<const HTTPServer::Handler> handler =
            self->m_server ? self->m_server->m_handler : std::shared_ptr<const HTTPServer::Handler>();
        const std::optional<QString> refusal =
            self->m_server && self->m_server->m_requestOrigin ? self->m_server->m_requestOrigin->refusal(request)
                                                              : std::nullopt;
        HTTPResponse response;
        if (refusal) {
            serverLog().error(QStringLiteral("Refused %1 %2 from %3: Host %4, Origin %5")
                                  .arg(method, path, remoteText(hostText, port),
                                       request.header(QStringLiteral("host")).value_or(QStringLiteral("(none)")),
                                       request.header(QStringLiteral("origin")).value_or(QStringLiteral("(none)"))));
            response = HTTPResponse::error(*refusal, 403);
        } else if (!handler || !*handler) {
            response = HTTPResponse::notFound();
        } else {
            try {
                response = co_await (*handler)(std::move(request));
            } catch (const std::exception &e) {
                response = HTTPResponse::error(QString::fromUtf8(e.what()), 500);
            } catch (...) {
                response = HTTPResponse::error(HTTPResponse::reasonPhrase(500), 500);
            }
        }
        if (serverLog().isEnabled(LogLevel::Info)) {
            serverLog().info(QStringLiteral("%1 %2 \u2192 %3 from %4")
                                 .arg(method, path, QString::number(response.statusCode), remoteText(hostText, port)));
        }
        if (!self) {
            co_return;  // the server went away while the handler ran
        }
        self->reply(response);
    }

    // Sends what is left of the reply, waiting for room when the socket is full; then closes.
    void writePending()
    {
        while (m_written < m_reply.size()) {
            // The reply's end and the connection's leave in one packet.
            const stream_socket::Transfer sent = stream_socket::send(
                m_descriptor, m_reply.constData() + m_written, m_reply.size() - m_written, true);
            if (sent.kind == stream_socket::Transfer::Kind::wouldBlock) {
                if (!m_writeNotifier) {
                    m_writeNotifier = new QSocketNotifier(m_descriptor, QSocketNotifier::Write, this);
                    connect(m_writeNotifier, &QSocketNotifier::activated, this, &HTTPConnection::writePending);
                }
                m_writeNotifier->setEnabled(true);
                return;
            }
            if (sent.kind != stream_socket::Transfer::Kind::moved) {
                finish();  // the peer is gone; nobody is left to answer
                return;
            }
            m_written += sent.bytes;
        }
        stream_socket::endSending(m_descriptor);
        finish();
    }

    // Closes the socket; the connection is deleted once whoever is running it has returned.
    void finish()
    {
        m_phase = Phase::finished;
        m_idleStop.request_stop();
        closeSocket();
        if (!m_inBegin) {
            deleteLater();
        }
    }

    void closeSocket()
    {
        if (m_descriptor < 0) {
            return;
        }
        // Notifiers go before their descriptor does.
        delete m_readNotifier;
        m_readNotifier = nullptr;
        delete m_writeNotifier;
        m_writeNotifier = nullptr;
        stream_socket::close(m_descriptor);
        m_descriptor = -1;
    }

    QPointer<HTTPServer> m_server;
    qintptr m_descriptor;
    QString m_hostText;
    quint16 m_port;
    HTTPRequestReader m_reader;
    // Made only for a connection that has to wait for its request.
    std::stop_source m_idleStop{std::nostopstate};
    Phase m_phase = Phase::reading;
    bool m_inBegin = false;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QByteArray m_reply;
    qsizetype m_written = 0;
};

HTTPServer::HTTPServer(Clock &clock, PeerOwners &owners, QObject *parent)
    : QObject(parent), m_clock(clock), m_owners(owners)
{
}

HTTPServer::~HTTPServer() = default;

void HTTPServer::start(quint16 port, Handler handler)
{
    m_handler = std::make_shared<const Handler>(std::move(handler));
    if (port == 0) {
        serverLog().error(QStringLiteral("Invalid port: %1").arg(port));
        return;
    }
    auto *listener = new HTTPListener(this);
    m_listener = listener;
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
    // Connections are taken here rather than by QTcpServer, which, out of descriptors, would try
    // again at once for as long as they last and burn a whole core.
    listener->pauseAccepting();
    m_acceptNotifier = new QSocketNotifier(listener->socketDescriptor(), QSocketNotifier::Read, listener);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &HTTPServer::acceptPending);
    setRunning(true);
    setPort(listener->serverPort());
    m_requestOrigin.emplace(m_port, RequestOrigin::machineNames(), &RequestOrigin::isMachineAddress);
    serverLog().info(QStringLiteral("HTTP server listening on port %1").arg(m_port));
}

void HTTPServer::setRunning(bool running)
{
    if (m_isRunning != running) {
        m_isRunning = running;
        Q_EMIT isRunningChanged(running);
    }
}

void HTTPServer::setPort(quint16 port)
{
    if (m_port != port) {
        m_port = port;
        Q_EMIT portChanged(port);
    }
}

bool HTTPServer::admits(const QString &remoteHost) const
{
    if (remoteHost == QLatin1String("127.0.0.1") || remoteHost == QLatin1String("::1")) {
        return true;
    }
    return m_networkAccess && m_interfaces && m_networkAccess() && isLocalNetworkHost(remoteHost, *m_interfaces);
}

bool HTTPServer::isOwnUsersPeer(qintptr descriptor, const sockaddr_storage &peer, const QString &remoteHost,
                                const QString &hostText, quint16 port)
{
    // Other users of this machine reach the loopback address too; what the helper runs and
    // stores is this user's alone.
    const PeerOwner owner = m_owners.ownerOfPeer(descriptor, peer);
    switch (owner.kind) {
    case PeerOwner::Kind::thisUser:
        return true;
    case PeerOwner::Kind::otherUser:
        if (m_refusedUsers.insert(owner.uid).second) {
            serverLog().error(QStringLiteral("Refused a connection from a process of another user (uid %1) at %2; "
                                             "further ones of that user are refused without a word")
                                  .arg(owner.uid)
                                  .arg(remoteText(hostText, port)));
        }
        return false;
    case PeerOwner::Kind::notFound:
        // No socket of this machine: a peer elsewhere, for the address gate. One that comes from
        // an address of this machine is a socket here all the same, whose owner the kernel did
        // not give (or that has gone already): never a peer elsewhere.
        if (!isMachineAddress(hostText)) {
            return true;
        }
        if (!QHostAddress(remoteHost).isLoopback() && !m_unfoundOwnAddressLogged) {
            m_unfoundOwnAddressLogged = true;
            serverLog().error(QStringLiteral("Refused a connection from %1, an address of this computer: whose it is "
                                             "can't be found; further ones are refused without a word")
                                  .arg(remoteText(hostText, port)));
        }
        return false;
    case PeerOwner::Kind::unknown:
        if (!owner.detail.isEmpty() && !m_ownerLookupFailed) {
            m_ownerLookupFailed = true;
            serverLog().error(QStringLiteral("Refused a connection from %1: whose it is can't be told (%2)")
                                  .arg(remoteText(hostText, port), owner.detail));
        }
        return false;
    }
    return false;
}

bool HTTPServer::isMachineAddress(const QString &hostText) const
{
    if (hostText == QLatin1String("127.0.0.1") || hostText == QLatin1String("::1")) {
        return true;
    }
    const QHostAddress address(hostText);
    // Without the interface list only a loopback address is known to be ours; the address gate
    // serves no other peer then anyway.
    return m_interfaces ? m_interfaces->holds(address) : address.isLoopback();
}

void HTTPServer::acceptPending()
{
    while (m_listener && m_acceptNotifier) {
        const stream_socket::Accepted accepted = stream_socket::accept(m_listener->socketDescriptor());
        switch (accepted.kind) {
        case stream_socket::Accepted::Kind::connection:
            m_outOfDescriptors = false;
            handleConnection(accepted.descriptor, accepted.peer);
            break;
        case stream_socket::Accepted::Kind::none:
            return;
        case stream_socket::Accepted::Kind::outOfResources:
            if (!m_outOfDescriptors) {
                m_outOfDescriptors = true;
                serverLog().error(QStringLiteral("No descriptor left for a new connection; accepting again every %1 ms")
                                      .arg(kAcceptPause.count()));
            }
            m_acceptNotifier->setEnabled(false);
            resumeAcceptingLater(this);
            return;
        }
    }
}

QCoro::Task<void> HTTPServer::resumeAcceptingLater(QPointer<HTTPServer> self)
{
    co_await self->m_clock.sleep(kAcceptPause);
    if (self && self->m_acceptNotifier) {
        self->m_acceptNotifier->setEnabled(true);
    }
}

void HTTPServer::handleConnection(qintptr descriptor)
{
    const std::optional<sockaddr_storage> peer = stream_socket::peerAddress(descriptor);
    if (!peer) {
        // Reset before it was taken up: nobody is left to answer, and nothing was rejected.
        stream_socket::close(descriptor);
        return;
    }
    handleConnection(descriptor, *peer);
}

void HTTPServer::handleConnection(qintptr descriptor, const sockaddr_storage &peer)
{
    if (m_connections.size() >= kMaxConnections) {
        const auto oldestIdle = std::find_if(m_connections.begin(), m_connections.end(),
                                             [](const HTTPConnection *c) { return c->isWaitingForRequest(); });
        if (oldestIdle != m_connections.end()) {
            (*oldestIdle)->drop();
        }
    }
    // One text form of the address serves both: the log's (with any zone) and the gate's.
    const QString hostText = stream_socket::hostText(peer);
    const QString remoteHost = withoutZone(hostText);
    const quint16 port = stream_socket::port(peer);
    if (!isOwnUsersPeer(descriptor, peer, remoteHost, hostText, port)) {
        stream_socket::close(descriptor);
        return;
    }
    if (!admits(remoteHost)) {
        serverLog().error(QStringLiteral("Rejected non-local connection from %1").arg(remoteText(hostText, port)));
        stream_socket::close(descriptor);
        return;
    }
    if (serverLog().isEnabled(LogLevel::Debug)) {
        serverLog().debug(QStringLiteral("Connection from %1").arg(remoteText(hostText, port)));
    }
    auto *connection = new HTTPConnection(this, descriptor, hostText, port, remoteHost);
    if (connection->begin()) {
        delete connection;
    }
}

QString HTTPServer::canonicalHostString(const QHostAddress &address)
{
    return withoutZone(stream_socket::hostText(address));
}

bool HTTPServer::isLocalNetworkHost(const QString &host, const NetworkInterfaces &interfaces)
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
        QHostAddress::parseSubnet(QStringLiteral("100.64.0.0/10")),
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
    // Read only for a peer the fixed ranges leave out, which is rare and may be a stranger.
    const QList<InterfaceAddress> own = interfaces.addresses();
    return std::any_of(own.cbegin(), own.cend(), [&address](const InterfaceAddress &entry) {
        // A prefix of length 0 would take in every address there is.
        return entry.prefixLength > 0 && address.isInSubnet(entry.address, entry.prefixLength);
    });
}

QByteArray HTTPServer::formatHTTPResponse(const HTTPResponse &response)
{
    // Built in place, without a temporary: this runs for every reply.
    const auto appendNumber = [](QByteArray &out, qint64 number) {
        char digits[24];
        const auto end = std::to_chars(std::begin(digits), std::end(digits), number).ptr;
        out.append(digits, end - digits);
    };
    const auto appendText = [](QByteArray &out, const QString &text) {
        const qsizetype start = out.size();
        out.resize(start + 3 * text.size());
        char *end = QStringEncoder(QStringEncoder::Utf8, QStringEncoder::Flag::Stateless)
                        .appendToBuffer(out.data() + start, text);
        out.resize(end - out.constData());
    };
    QByteArray out;
    out.reserve(96 + 3 * (response.statusText.size() + response.contentType.size()) + response.body.size());
    out.append("HTTP/1.1 ");
    appendNumber(out, response.statusCode);
    out.append(' ');
    appendText(out, response.statusText);
    out.append("\r\nContent-Type: ");
    appendText(out, response.contentType);
    out.append("\r\nContent-Length: ");
    appendNumber(out, response.body.size());
    out.append("\r\nConnection: close\r\n");
    if (response.retryAfter > 0) {
        out.append("Retry-After: ");
        appendNumber(out, response.retryAfter);
        out.append("\r\n");
    }
    out.append("\r\n");
    out.append(response.body);
    return out;
}

quint16 HTTPServer::apiPortOrDefault(qint64 configured)
{
    if (isUsablePort(configured)) {
        return static_cast<quint16>(configured);
    }
    HelperLogger::warning(QStringLiteral("[HTTPServer] apiPort %1 is not a usable port; serving on %2 instead")
                              .arg(configured)
                              .arg(ConfigStore::kDefaultApiPort),
                          HelperLogger::Category::network);
    return static_cast<quint16>(ConfigStore::kDefaultApiPort);
}

} // namespace cordavelle
