#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

namespace cordavelle::stream_socket {

// Calls that never block on an accepted TCP socket, for a server that takes descriptors straight
// from its listener instead of wrapping each in a QTcpSocket.

struct Peer {
    QHostAddress address;
    quint16 port = 0;
};

// The far end of the connection; none when it is already gone (reset before it was taken up).
std::optional<Peer> peer(qintptr descriptor);

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
Transfer send(qintptr descriptor, const char *bytes, qint64 length);
void close(qintptr descriptor);

} // namespace cordavelle::stream_socket
