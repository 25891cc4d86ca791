#pragma once

#include "http_request.h"
#include "http_response.h"
#include "request_origin.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <set>

#include <QTcpServer>

#include <sys/socket.h>

class QHostAddress;
class QSocketNotifier;

namespace cordavelle {

class Clock;
class HTTPConnection;
class NetworkInterfaces;
class PeerOwners;

// The local HTTP/1.1 server of the API: one request per connection, handed to the handler, the
// reply written in a fixed form with "Connection: close", then the connection closed. Confined
// to the main thread.
class HTTPServer : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)
    Q_PROPERTY(quint16 port READ port NOTIFY portChanged)

public:
    using HTTPRequest = cordavelle::HTTPRequest;
    using HTTPResponse = cordavelle::HTTPResponse;
    // Turns one request into its reply; called once per connection.
    using Handler = std::function<QCoro::Task<HTTPResponse>(HTTPRequest)>;
    // Told why the listener could not listen.
    using FailureHandler = std::function<void(const QString &error)>;
    // Whether peers of the local network may connect, asked anew for every connection.
    using NetworkAccessPolicy = std::function<bool()>;

    // A connection that has not delivered a whole request by then is closed.
    static constexpr std::chrono::milliseconds kRequestTimeout{10000};
    // With no descriptor left to take a connection, accepting rests this long instead of spinning.
    static constexpr std::chrono::milliseconds kAcceptPause{100};
    // The most connections held at once; a new one beyond it closes the oldest still waiting for
    // its request.
    static constexpr std::size_t kMaxConnections = 512;
    // The most bytes taken from a socket at a time.
    static constexpr qint64 kReadChunkBytes = 65536;

    // Connections that stall are timed on `clock`; `owners` tells whose process each peer is.
    HTTPServer(Clock &clock, PeerOwners &owners, QObject *parent = nullptr);
    ~HTTPServer() override;

    // Listens on every interface on `port` and serves each request through `handler`. Port 0
    // is refused with a log line. A port that can't be bound is reported to the failure handler
    // (after this call returns), not thrown. Call once.
    void start(quint16 port, Handler handler);

    // The listening socket once `start` made it.
    QTcpServer *listener() const { return m_listener; }
    bool isRunning() const { return m_isRunning; }
    // The port asked for, then the one the listener really holds.
    quint16 port() const { return m_port; }

    void setFailureHandler(FailureHandler handler) { m_failureHandler = std::move(handler); }
    // Without a policy only the loopback peers "127.0.0.1" and "::1" are served. While the policy
    // allows it, peers of the local network are served too: see isLocalNetworkHost, with the
    // prefixes of `interfaces`.
    void setNetworkAccessPolicy(NetworkAccessPolicy policy, NetworkInterfaces &interfaces)
    {
        m_networkAccess = std::move(policy);
        m_interfaces = &interfaces;
    }

    // The host text of a peer: dotted IPv4 (also for an IPv4 peer reported as "::ffff:a.b.c.d"),
    // IPv6 without its zone suffix.
    static QString canonicalHostString(const QHostAddress &address);
    // Loopback, the private IPv4 ranges, shared address space (100.64.0.0/10, carrier-grade NAT
    // and VPNs), IPv4 and IPv6 link-local, IPv6 unique-local, and any address inside an on-link
    // prefix of one of this machine's interfaces (a global IPv6 prefix of the home network).
    static bool isLocalNetworkHost(const QString &host, const NetworkInterfaces &interfaces);
    // The wire form of a reply: status line, exactly three headers, empty line, body.
    static QByteArray formatHTTPResponse(const HTTPResponse &response);
    // The configured API port when it is one, else ConfigStore::kDefaultApiPort, with a warning.
    static quint16 apiPortOrDefault(qint64 configured);

Q_SIGNALS:
    void isRunningChanged(bool isRunning);
    void portChanged(quint16 port);

private:
    friend class HTTPConnection;
    friend class HTTPListener;

    void setRunning(bool running);
    void setPort(quint16 port);
    // Takes up one accepted socket descriptor; it is ours to close from here on.
    void handleConnection(qintptr descriptor);
    void handleConnection(qintptr descriptor, const sockaddr_storage &peer);
    void acceptPending();
    static QCoro::Task<void> resumeAcceptingLater(QPointer<HTTPServer> self);
    bool admits(const QString &remoteHost) const;
    // Whether the far end is a process of this user, or a peer elsewhere; says why not in the log.
    bool isOwnUsersPeer(qintptr descriptor, const sockaddr_storage &peer, const QString &remoteHost,
                        const QString &hostText, quint16 port);
    // Whether the far end's address (with its zone) is one of this machine's, a link-local one
    // on its own interface.
    bool isMachineAddress(const QString &hostText) const;

    Clock &m_clock;
    PeerOwners &m_owners;
    QPointer<QTcpServer> m_listener;
    // Watches the listener in place of QTcpServer, which retries a failed accept at once.
    QPointer<QSocketNotifier> m_acceptNotifier;
    bool m_outOfDescriptors = false;
    // Open connections, oldest first.
    std::list<HTTPConnection *> m_connections;
    bool m_isRunning = false;
    quint16 m_port = 0;
    std::shared_ptr<const Handler> m_handler;
    FailureHandler m_failureHandler;
    NetworkAccessPolicy m_networkAccess;
    NetworkInterfaces *m_interfaces = nullptr;
    // Set once listening, for the port the listener holds.
    std::optional<RequestOrigin> m_requestOrigin;
    // Users whose refused connections were logged, once each.
    std::set<unsigned> m_refusedUsers;
    bool m_ownerLookupFailed = false;
    bool m_unfoundOwnAddressLogged = false;
};

} // namespace cordavelle
