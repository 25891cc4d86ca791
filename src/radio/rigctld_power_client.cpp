#include "rigctld_power_client.h"

#include "base/socket_wait.h"
#include "base/spaces_and_tabs.h"
#include "platform/clock.h"

#include <QRegularExpression>
#include <QStringDecoder>
#include <QTcpSocket>

namespace cordavelle {

namespace {

constexpr qint64 kReceiveBufferSize = 1024;

// A whole base-10 integer with an optional sign; absent for anything else, also for digits
// beyond 64 bits.
std::optional<qlonglong> integerLine(const QString &text)
{
    static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
    if (!integer.match(text).hasMatch()) {
        return std::nullopt;
    }
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    return ok ? std::optional<qlonglong>(value) : std::nullopt;
}

} // namespace

std::optional<bool> RigctldPowerClient::parsePowerState(const QString &reply)
{
    const QStringList lines = reply.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &raw : lines) {
        const QString line = trimmedSpacesAndTabs(raw);
        if (line.startsWith(QLatin1String("RPRT"))) {
            const auto code = integerLine(trimmedSpacesAndTabs(line.mid(4)));
            if (code && *code < 0) {
                return std::nullopt;
            }
        }
    }
    for (const QString &raw : lines) {
        const QString line = trimmedSpacesAndTabs(raw);
        if (line.isEmpty()) {
            continue;
        }
        const auto value = integerLine(line);
        if (value && *value >= 0 && *value <= 2) {
            return *value == 1;
        }
    }
    return std::nullopt;
}

QCoro::Task<std::optional<bool>> RigctldPowerClient::getPowerState(int port) const
{
    const auto reply = co_await sendCommand(QStringLiteral("\\get_powerstat\n"), port, m_clock);
    if (!reply) {
        co_return std::nullopt;
    }
    co_return parsePowerState(*reply);
}

QCoro::Task<bool> RigctldPowerClient::setPowerState(bool on, int port) const
{
    const QString command = QStringLiteral("\\set_powerstat ") + (on ? QLatin1Char('1') : QLatin1Char('0'))
                          + QLatin1Char('\n');
    const auto reply = co_await sendCommand(command, port, m_clock);
    co_return reply && reply->contains(QLatin1String("RPRT 0"));
}

QCoro::Task<std::optional<QString>> RigctldPowerClient::sendCommand(QString command, int port, Clock &clock)
{
    if (port < 0 || port > 65535) {
        co_return std::nullopt;
    }
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(QHostAddress::LocalHost), quint16(port));
    // A blocking connect on a socket with a send time-out gives up after that time-out, so the
    // connection gets the same limit as the send.
    const bool connected = co_await waitForSocket(socket, SocketWaitGoal::Connected, clock, kSendTimeout);
    if (!connected) {
        co_return std::nullopt;
    }
    if (socket.write(command.toUtf8()) < 1) {
        co_return std::nullopt;
    }
    const bool written = co_await waitForSocket(socket, SocketWaitGoal::BytesWritten, clock, kSendTimeout);
    if (!written) {
        co_return std::nullopt;
    }
    const bool answered = co_await waitForSocket(socket, SocketWaitGoal::ReadyRead, clock, kReceiveTimeout);
    if (!answered) {
        co_return std::nullopt;
    }
    // Only the first piece of the reply counts.
    const QByteArray bytes = socket.read(kReceiveBufferSize);
    socket.abort();
    if (bytes.isEmpty()) {
        co_return std::nullopt;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        co_return std::nullopt;
    }
    co_return text;
}

} // namespace cordavelle
