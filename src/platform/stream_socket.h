#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

#include <sys/socket.h>

namespace cordavelle::stream_socket {

// Calls that never block on an accepted TCP socket, for a server that takes descriptors straight
// from its listener instead of wrapping each in a QTcpSocket.

// The far end of the connection; none when it is already gone (reset before it was taken up).
std::optional<sockaddr_storage> peerAddress(qintptr descriptor);
// The far end's port, and its host as the log shows it: dotted IPv4 also for an IPv4 peer of a
// dual-stack socket, IPv6 with any zone. The loopback hosts come without an allocation.
QString hostText(const sockaddr_storage &address);
QString hostText(const QHostAddress &address);
quint16 port(const sockaddr_storage &address);

struct Transfer {
    enum class Kind { moved, wouldBlock, peerFinished, failed };
    Kind kind = Kind::failed;
    // moved: how many bytes.
    qint64 bytes = 0;
    // failed: the system's reason.
    QString error;
};

// Takes what has arrived, up to `capacity` bytes. peerFinished: the peer ended its sending side.
Transfer receive(qintptr descriptor, char *into, qint64 capacity);
// Hands as much of `bytes` to the system as fits now. A peer that is gone fails, without a signal.
// `lastBytes`: `endSending` follows once all are handed over, so their tail may wait for it and
// leave with the end of the stream in one packet instead of two.
Transfer send(qintptr descriptor, const char *bytes, qint64 length, bool lastBytes = false);
// Ends this side's sending: what is still queued goes out, followed by the end of the stream,
// even when the socket is closed at once after (and bytes left unread make that close a reset).
void endSending(qintptr descriptor);
void close(qintptr descriptor);

struct Accepted {
    enum class Kind { connection, none, outOfResources };
    Kind kind = Kind::none;
    qintptr descriptor = -1;
    // connection: the far end, as the kernel gave it with the connection.
    sockaddr_storage peer{};
};
// Takes one waiting connection off a listening socket, non-blocking and closed on exec. none:
// nothing waits (or it went away before it was taken). outOfResources: the process or the system
// has no descriptor or memory left for it; it stays waiting.
Accepted accept(qintptr listener);

// Raises this process's soft limit of open descriptors to its hard limit, as a long-running
// server does; returns the soft limit in force afterwards.
qint64 raiseDescriptorLimit();

} // namespace cordavelle::stream_socket
