#include "pages/rigctld_page_model.h"

#include "base/socket_wait.h"
#include "base/spaces_and_tabs.h"
#include "platform/clock.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QTcpSocket>
#include <QTextBoundaryFinder>

#include <cmath>

namespace cordavelle::rigctld_page {

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kConnectWait = 5000ms;
constexpr std::chrono::milliseconds kReplyWait = 5000ms;
constexpr qint64 kReadSize = 1024;

const QString kTimedOut = QStringLiteral("No response from rigctld (timed out)");

std::optional<QString> decoded(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text;
}

// The reply is whole once it decodes and ends in a line feed on its own; a carriage return
// before it makes one character of the pair, which is not a line feed.
bool replyComplete(const QByteArray &reply)
{
    return reply.endsWith('\n') && !reply.endsWith("\r\n") && decoded(reply).has_value();
}

} // namespace

std::optional<double> frequencyHertz(const QString &line)
{
    // Decimal only, as rigctld writes it: a C conversion would also take "inf", "nan" and hex.
    static const QRegularExpression decimal(
        QStringLiteral(R"(\A[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?\z)"));
    if (!decimal.match(line).hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const double hertz = line.toDouble(&ok);
    if (!ok || !std::isfinite(hertz) || hertz <= 0) {
        return std::nullopt;
    }
    return hertz;
}

QString classifyReply(const QByteArray &bytes)
{
    const std::optional<QString> text = decoded(bytes);
    if (!text) {
        return kTimedOut;
    }
    const QString reply = text->trimmed();
    if (reply.isEmpty()) {
        return kTimedOut;
    }
    static const QRegularExpression lineBreaks(QStringLiteral("[\\n\\r\\v\\f\\x{85}\\x{2028}\\x{2029}]"));
    const QString first = trimmedSpacesAndTabs(reply.section(lineBreaks, 0, 0));
    if (const auto hertz = frequencyHertz(first)) {
        return QStringLiteral("OK — %1 MHz").arg(QString::asprintf("%.6f", *hertz / 1'000'000.0));
    }
    if (reply.contains(QStringLiteral("RPRT")) && !reply.contains(QStringLiteral("RPRT 0"))) {
        return QStringLiteral("Radio error: ") + reply;
    }
    if (reply.contains(QStringLiteral("RPRT 0"))) {
        return QStringLiteral("OK — rigctld responded");
    }
    // A cut by characters as a reader counts them, never inside one.
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, reply);
    qsizetype end = reply.size();
    for (int counted = 0; counted < 100 && characters.toNextBoundary() != -1; ++counted) {
        end = characters.position();
    }
    return QStringLiteral("Unexpected response: ") + reply.left(end);
}

QCoro::Task<QString> queryRigctld(int port, Clock &clock)
{
    if (port < 1 || port > 65535) {
        co_return QStringLiteral("Cannot connect to rigctld on port %1").arg(port);
    }
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
    const bool connected = co_await waitForSocket(socket, SocketWaitGoal::Connected, clock, kConnectWait);
    if (!connected) {
        const QString reason = socket.error() == QAbstractSocket::UnknownSocketError ? QStringLiteral("Connection failed")
                                                                                     : socket.errorString();
        socket.abort();
        co_return reason;
    }
    if (socket.write("f\n", 2) < 1) {
        socket.abort();
        co_return QStringLiteral("Failed to send command to rigctld");
    }

    QByteArray reply;
    const Clock::SteadyTime deadline = clock.now() + kReplyWait;
    while (clock.now() < deadline) {
        if (socket.bytesAvailable() == 0) {
            // A closed connection brings nothing more: take what came instead of waiting it out.
            if (socket.state() != QAbstractSocket::ConnectedState) {
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock.now());
            co_await waitForSocket(socket, SocketWaitGoal::ReadyRead, clock, std::max(left, 1ms));
            continue;
        }
        const QByteArray piece = socket.read(kReadSize);
        if (piece.isEmpty()) {
            break;
        }
        reply += piece;
        if (replyComplete(reply)) {
            break;
        }
    }
    socket.abort();
    co_return classifyReply(reply);
}

} // namespace cordavelle::rigctld_page
