#pragma once

#include "api/http_server.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QTcpSocket>

#include <chrono>
#include <map>
#include <memory>

namespace cordavelle::test {

// A reply as read off the wire.
struct WireReply {
    bool wellFormed = false;
    int statusCode = 0;
    QByteArray statusLine;
    // Header lines in the order sent, as "Name: value".
    QList<QByteArray> headerLines;
    QByteArray body;

    static WireReply parse(const QByteArray &bytes);
};

// A real TCP client for wire tests; everything runs on the test's event loop.
class WireClient {
public:
    // Connects to `port` on `host`, from `source` when given. Returns whether it connected (the
    // server may have closed the connection again since).
    [[nodiscard]] bool connectTo(quint16 port, const QHostAddress &host = QHostAddress::LocalHost,
                   const QHostAddress &source = QHostAddress());
    void send(const QByteArray &bytes);
    // Ends our sending side while still reading.
    void finishSending();
    void closeNow();
    // Waits until the server closed the connection.
    [[nodiscard]] bool waitForClose(std::chrono::milliseconds limit = std::chrono::milliseconds(5000));
    bool isOpen() const;
    const QByteArray &received() const { return m_received; }
    WireReply reply() const { return WireReply::parse(m_received); }

    // The server's end of this connection as the kernel shows it, to tell what the server has
    // done without waiting a guessed time: its TCP state (TCP_ESTABLISHED, TCP_CLOSE_WAIT once our
    // end has gone, …; 0 once it is gone too) and how many bytes it has not read yet.
    struct ServerEnd {
        int state = 0;
        qint64 unread = 0;
    };
    ServerEnd serverEnd() const;
    // Waits until the server has read everything sent so far and still holds the connection open.
    [[nodiscard]] bool waitUntilServerHasRead(std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

private:
    std::unique_ptr<QTcpSocket> m_socket;
    QByteArray m_received;
    // Kept for serverEnd(), also after the socket has closed.
    QHostAddress m_localAddress;
    quint16 m_localPort = 0;
    QHostAddress m_serverAddress;
    quint16 m_serverPort = 0;
    bool m_connected = false;
    bool m_closed = false;
};

// Sends `request` and returns what came back before the server closed the connection.
QByteArray exchange(quint16 port, const QByteArray &request);

// Starts `server` on a port held free for it (freeTcpPort); returns false when none could be had.
bool startOnFreePort(HTTPServer &server, HTTPServer::Handler handler);

} // namespace cordavelle::test
