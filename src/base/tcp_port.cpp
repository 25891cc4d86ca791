#include "base/tcp_port.h"

namespace cordavelle {

std::optional<int> parsePort(const QString &text)
{
    const QString trimmed = text.trimmed();
    // Five digits at most, so that the number below cannot overflow.
    if (trimmed.isEmpty() || trimmed.size() > 5) {
        return std::nullopt;
    }
    for (const QChar c : trimmed) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return std::nullopt;
        }
    }
    const int port = trimmed.toInt();
    if (!isUsablePort(port)) {
        return std::nullopt;
    }
    return port;
}

QString invalidPortText() { return QStringLiteral("Enter a whole number from 1 to 65535. The port stays as it was."); }

QString reservedPortText(int port, int lowest)
{
    return QStringLiteral("Port %1 is below %2: only the system may listen on it. Enter a port from %2 to %3. The "
                          "port stays as it was.")
        .arg(port)
        .arg(lowest)
        .arg(kHighestPort);
}

} // namespace cordavelle
