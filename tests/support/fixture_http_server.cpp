#include "fixture_http_server.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QFile>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <memory>

namespace cordavelle::test {

namespace {

constexpr qint64 kChunk = 256 * 1024;
constexpr qint64 kHighWater = 1024 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

QByteArray FixtureHttpServer::Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

// Lives on the server's thread: accepts connections, reads one request each and answers it.
class FixtureHttpServer::Worker : public QObject {
public:
    explicit Worker(FixtureHttpServer &owner) : m_owner(owner) {}
    // The server's sockets go with it and report their disconnection to this worker, whose table
    // of connections must still be whole then.
    ~Worker() override { m_server.reset(); }

    quint16 listen(const QHostAddress &address)
    {
        // Made here, on the server's thread, so that its sockets belong to that thread.
        m_server = std::make_unique<QTcpServer>();
        QObject::connect(m_server.get(), &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server->nextPendingConnection()) {
                accept(socket);
            }
        });
        m_server->listen(address, 0);
        return m_server->serverPort();
    }

    void releaseBytes(qint64 bytes)
    {
        for (auto &[socket, connection] : m_connections) {
            if (connection->stalled) {
                connection->stalled = false;
                connection->allowance += bytes;
                --m_owner.m_stalled;
                pump(*connection);
            }
        }
    }

    bool clientsReadEverything() const
    {
        for (const auto &[socket, connection] : m_connections) {
            int unacknowledged = 0;
            if (socket->bytesToWrite() > 0 || ::ioctl(int(socket->socketDescriptor()), SIOCOUTQ, &unacknowledged) != 0 ||
                unacknowledged > 0 || unreadByPeer(*socket) != 0) {
                return false;
            }
        }
        return true;
    }

    void releaseAll()
    {
        for (auto &[socket, connection] : m_connections) {
            if (connection->stalled) {
                connection->stalled = false;
                connection->released = true;
                --m_owner.m_stalled;
                pump(*connection);
            }
        }
    }

private:
    // The bytes waiting in the receive queue of the client's end of `socket`, from the kernel's
    // table of IPv4 and IPv6 sockets; -1 when that end is not found.
    static long unreadByPeer(const QTcpSocket &socket)
    {
        for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
            QFile file(QString::fromLatin1(table));
            if (!file.open(QIODevice::ReadOnly)) {
                continue;
            }
            file.readLine();
            while (!file.atEnd()) {
                // "sl local_address rem_address st tx_queue:rx_queue …", ports in hexadecimal.
                const QList<QByteArray> fields = file.readLine().simplified().split(' ');
                if (fields.size() < 5) {
                    continue;
                }
                const auto port = [](const QByteArray &address) { return address.mid(address.lastIndexOf(':') + 1).toUInt(nullptr, 16); };
                if (port(fields[1]) == socket.peerPort() && port(fields[2]) == socket.localPort()) {
                    return fields[4].mid(fields[4].indexOf(':') + 1).toLong(nullptr, 16);
                }
            }
        }
        return -1;
    }

    struct Connection {
        QTcpSocket *socket = nullptr;
        QByteArray received;
        bool answered = false;
        Route route;
        qint64 size = 0;
        qint64 sent = 0;
        bool stalled = false;
        bool released = false;
        // Bytes let go past stallAfter.
        qint64 allowance = 0;
    };

    void accept(QTcpSocket *socket)
    {
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        Connection *c = connection.get();
        m_connections[socket] = std::move(connection);
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this, c] { read(*c); });
        QObject::connect(socket, &QTcpSocket::bytesWritten, this, [this, c] { pump(*c); });
        QObject::connect(socket, &QTcpSocket::disconnected, this, [this, socket] { forget(socket); });
    }

    void forget(QTcpSocket *socket)
    {
        auto it = m_connections.find(socket);
        if (it == m_connections.end()) {
            return;
        }
        if (it->second->stalled) {
            --m_owner.m_stalled;
        }
        m_connections.erase(it);
        socket->deleteLater();
    }

    void read(Connection &c)
    {
        c.received += c.socket->readAll();
        const qsizetype end = c.received.indexOf("\r\n\r\n");
        if (c.answered || end < 0) {
            return;
        }
        c.answered = true;
        const QList<QByteArray> lines = c.received.left(end).split('\n');
        Request request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1).split('?').value(0);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0) {
                request.headers.emplace_back(line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
            }
        }
        c.route = m_owner.routeFor(request.path);
        m_owner.record(std::move(request));
        answer(c);
    }

    void answer(Connection &c)
    {
        c.size = c.route.generatedSize >= 0 ? c.route.generatedSize : c.route.body.size();
        QByteArray head = "HTTP/1.1 " + QByteArray::number(c.route.status) + ' ' + reasonPhrase(c.route.status) + "\r\n";
        for (const auto &[name, value] : c.route.headers) {
            head += name + ": " + value + "\r\n";
        }
        if (c.route.sendLength) {
            head += "Content-Length: " + QByteArray::number(c.size) + "\r\n";
        }
        head += "Connection: close\r\n\r\n";
        c.socket->write(head);
        pump(c);
    }

    QByteArray piece(const Connection &c, qint64 length)
    {
        if (c.route.generatedSize < 0) {
            return c.route.body.mid(c.sent, length);
        }
        if (m_pattern.isEmpty()) {
            m_pattern.resize(kChunk);
            for (qint64 i = 0; i < kChunk; ++i) {
                m_pattern[i] = static_cast<char>('a' + i % 26);
            }
        }
        return m_pattern.left(length);
    }

    // Writes what may go out now, keeping at most a little more than kHighWater queued.
    void pump(Connection &c)
    {
        if (!c.answered || c.stalled) {
            return;
        }
        qint64 limit = (c.route.stallAfter >= 0 && !c.released) ? std::min(c.route.stallAfter + c.allowance, c.size) : c.size;
        if (c.route.dropAfter >= 0) {
            limit = std::min(limit, c.route.dropAfter);
        }
        while (c.sent < limit && c.socket->bytesToWrite() < kHighWater) {
            const QByteArray bytes = piece(c, std::min(kChunk, limit - c.sent));
            c.socket->write(bytes);
            c.sent += bytes.size();
        }
        // Closed once what went out has been written, as a server that gave up halfway.
        if (c.route.dropAfter >= 0 && c.sent >= c.route.dropAfter && c.sent < c.size) {
            if (c.socket->state() == QAbstractSocket::ConnectedState) {
                c.socket->disconnectFromHost();
            }
            return;
        }
        if (c.sent == c.size) {
            if (c.socket->bytesToWrite() == 0) {
                c.socket->disconnectFromHost();
            }
            return;
        }
        if (c.sent == limit && limit < c.size && c.socket->bytesToWrite() == 0) {
            c.stalled = true;
            ++m_owner.m_stalled;
        }
    }

    FixtureHttpServer &m_owner;
    std::unique_ptr<QTcpServer> m_server;
    std::map<QTcpSocket *, std::unique_ptr<Connection>> m_connections;
    QByteArray m_pattern;
};

FixtureHttpServer::FixtureHttpServer(const QString &address) : m_address(address)
{
    m_thread.start();
    m_worker = new Worker(*this);
    m_worker->moveToThread(&m_thread);
    QMetaObject::invokeMethod(m_worker, [this] { m_port = m_worker->listen(QHostAddress(m_address)); }, Qt::BlockingQueuedConnection);
}

FixtureHttpServer::~FixtureHttpServer()
{
    // Deleted on its own thread once that thread's loop has ended.
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.quit();
    m_thread.wait();
}

QUrl FixtureHttpServer::base() const { return QUrl(QStringLiteral("http://%1:%2").arg(m_address).arg(m_port)); }

QUrl FixtureHttpServer::url(const QString &path) const { return QUrl(base().toString() + path); }

void FixtureHttpServer::serve(const QString &path, Route route)
{
    std::lock_guard lock(m_mutex);
    m_routes[path.toUtf8()] = std::move(route);
}

void FixtureHttpServer::serve(const QString &path, QByteArray body, int status)
{
    Route route;
    route.status = status;
    route.body = std::move(body);
    serve(path, std::move(route));
}

void FixtureHttpServer::redirect(const QString &path, const QString &target, int status)
{
    Route route;
    route.status = status;
    const QString location = target.startsWith(QLatin1Char('/')) ? url(target).toString() : target;
    route.headers.emplace_back("Location", location.toUtf8());
    serve(path, std::move(route));
}

void FixtureHttpServer::serveHtmlPage(const QString &path, int status)
{
    Route route;
    route.status = status;
    route.headers.emplace_back("Content-Type", "text/html; charset=utf-8");
    route.body = "<!DOCTYPE html>\n<html><head><title>Unavailable</title></head>"
                 "<body><h1>Unicorn!</h1><p>Try again later.</p></body></html>\n";
    serve(path, std::move(route));
}

void FixtureHttpServer::serveFault(const QString &path, Fault fault)
{
    Route route;
    switch (fault) {
    case Fault::notFound: serveHtmlPage(path, 404); return;
    case Fault::serverError: serveHtmlPage(path, 500); return;
    case Fault::redirectLoop: redirect(path, path); return;
    case Fault::multipleChoices: serveHtmlPage(path, 300); return;
    case Fault::notModified: route.status = 304; break;
    case Fault::lostRedirect: route.status = 302; break;
    case Fault::endlessRedirect:
        route.status = 302;
        route.headers.emplace_back("Location", url(path + QStringLiteral("/moved")).toEncoded());
        // A gigabyte, of which a little goes out before the rest waits for ever.
        route.generatedSize = qint64(1) << 30;
        route.stallAfter = 3000;
        break;
    case Fault::rateLimited:
        route.status = 403;
        route.headers = {{"Content-Type", "application/json; charset=utf-8"}, {"X-RateLimit-Limit", "60"},
                         {"X-RateLimit-Remaining", "0"}};
        route.body = R"({"message":"API rate limit exceeded for 127.0.0.1.","documentation_url":"https://docs.example/rate-limiting"})";
        break;
    case Fault::garbage: route.body = QByteArray("\xff\xfe\x00garbage\x01\x02", 12).repeated(50); break;
    case Fault::dropped:
        route.body = QByteArray(200000, 'd');
        route.dropAfter = 1000;
        break;
    }
    serve(path, std::move(route));
}

void FixtureHttpServer::release()
{
    QMetaObject::invokeMethod(m_worker, [this] { m_worker->releaseAll(); }, Qt::BlockingQueuedConnection);
}

bool FixtureHttpServer::clientsReadEverything() const
{
    bool read = false;
    QMetaObject::invokeMethod(m_worker, [this, &read] { read = m_worker->clientsReadEverything(); },
                              Qt::BlockingQueuedConnection);
    return read;
}

void FixtureHttpServer::releaseBytes(qint64 bytes)
{
    QMetaObject::invokeMethod(m_worker, [this, bytes] { m_worker->releaseBytes(bytes); }, Qt::BlockingQueuedConnection);
}

FixtureHttpServer::Route FixtureHttpServer::routeFor(const QByteArray &path) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_routes.find(path);
    if (it != m_routes.end()) {
        return it->second;
    }
    Route missing;
    missing.status = 404;
    missing.body = "Not Found";
    return missing;
}

void FixtureHttpServer::record(Request request)
{
    std::lock_guard lock(m_mutex);
    m_requests.push_back(std::move(request));
}

std::vector<FixtureHttpServer::Request> FixtureHttpServer::requests() const
{
    std::lock_guard lock(m_mutex);
    return m_requests;
}

std::vector<FixtureHttpServer::Request> FixtureHttpServer::requestsFor(const QString &path) const
{
    std::lock_guard lock(m_mutex);
    std::vector<Request> out;
    for (const Request &request : m_requests) {
        if (request.path == path.toUtf8()) {
            out.push_back(request);
        }
    }
    return out;
}

} // namespace cordavelle::test
