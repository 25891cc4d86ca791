#include "vara_probe.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QNetworkProxy>
#include <QStringDecoder>
#include <QTcpSocket>

namespace cordavelle {

namespace {

constexpr int kTimeoutMs = 5000;
constexpr int kReadPauseMs = 200;
constexpr qint64 kChunkBytes = 1024;
constexpr int kMaxReads = 3;

// Like recv(2) with a receive time-out: up to `kChunkBytes` bytes, empty on time-out, error or
// a connection the modem closed.
QByteArray receiveChunk(QTcpSocket &socket)
{
    if (socket.bytesAvailable() == 0) {
        if (socket.state() != QAbstractSocket::ConnectedState || !socket.waitForReadyRead(kTimeoutMs)) {
            return {};
        }
    }
    return socket.read(kChunkBytes);
}

// Lets more of the reply arrive before the next read. Waiting on the socket rather than sleeping
// keeps the pause short when the modem hangs up meanwhile (the next read then ends the probe).
void pauseBetweenReads(QTcpSocket &socket)
{
    const QDeadlineTimer deadline(kReadPauseMs);
    while (!deadline.hasExpired() && socket.state() == QAbstractSocket::ConnectedState) {
        socket.waitForDisconnected(int(deadline.remainingTime()));
    }
}

} // namespace

bool VARAProbe::probe(int port)
{
    if (port < 0 || port > 65535) {
        return false;
    }
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), quint16(port));
    if (!socket.waitForConnected(kTimeoutMs)) {
        socket.abort();
        return false;
    }

    socket.write("VERSION\r", 8);
    if (!socket.waitForBytesWritten(kTimeoutMs)) {
        socket.abort();
        return false;
    }

    QString reply;
    for (int read = 0; read < kMaxReads; ++read) {
        const QByteArray chunk = receiveChunk(socket);
        if (chunk.isEmpty()) {
            socket.abort();
            return !reply.isEmpty();
        }
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        const QString text = decoder.decode(chunk);
        if (!decoder.hasError()) {
            reply += text;
        }
        if (reply.contains(QStringLiteral("VERSION")) || reply.contains(QStringLiteral("VARA"))) {
            socket.abort();
            return true;
        }
        pauseBetweenReads(socket);
    }
    socket.abort();
    return !reply.isEmpty();
}

} // namespace cordavelle
