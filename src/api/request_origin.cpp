#include "request_origin.h"

#include <QHostInfo>
#include <QNetworkInterface>

namespace cordavelle {

RequestOrigin::RequestOrigin(quint16 port, QStringList ownNames, AddressTest isOwnAddress)
    : m_port(port), m_ownNames(std::move(ownNames)), m_isOwnAddress(std::move(isOwnAddress))
{
}

QStringList RequestOrigin::machineNames()
{
    const QString name = QHostInfo::localHostName().toLower();
    if (name.isEmpty()) {
        return {};
    }
    // Avahi announces the machine as "<host name>.local", which is where Bonjour leads clients.
    return {name, name + QStringLiteral(".local")};
}

bool RequestOrigin::isMachineAddress(const QHostAddress &address)
{
    const QList<QHostAddress> own = QNetworkInterface::allAddresses();
    return std::any_of(own.cbegin(), own.cend(), [&address](QHostAddress candidate) {
        candidate.setScopeId(QString());
        return candidate.isEqual(address, QHostAddress::TolerantConversion);
    });
}

std::optional<QString> RequestOrigin::refusal(const HTTPRequest &request) const
{
    if (request.header(QStringLiteral("origin"))) {
        return QString::fromUtf8("Forbidden \u2014 requests from web pages are not served");
    }
    const std::optional<QString> host = request.header(QStringLiteral("host"));
    if (host && !isOwnHost(*host)) {
        return QString::fromUtf8("Forbidden \u2014 the Host header does not name this computer");
    }
    return std::nullopt;
}

bool RequestOrigin::isOwnHost(const QString &hostHeader) const
{
    // Views into the header, not copies: this runs for every request.
    QStringView name = hostHeader;
    QStringView port;
    if (name.startsWith(QLatin1Char('['))) {
        const qsizetype close = name.indexOf(QLatin1Char(']'));
        if (close < 0) {
            return false;
        }
        const QStringView rest = name.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':'))) {
            return false;
        }
        port = rest.mid(1);
        name = name.mid(1, close - 1);
    } else if (const qsizetype colon = name.indexOf(QLatin1Char(':')); colon >= 0) {
        port = name.mid(colon + 1);
        name = name.left(colon);
    }
    // A browser leaves the port out only for port 80; any port named must be ours.
    if (!port.isEmpty()) {
        bool isNumber = false;
        const uint number = port.toUInt(&isNumber);
        if (!isNumber || number != m_port || port.front() == QLatin1Char('+')) {
            return false;
        }
    }
    // What local clients nearly always send.
    if (name == QLatin1String("127.0.0.1") || name == QLatin1String("localhost")) {
        return true;
    }
    QString lowered = name.toString().toLower();
    if (lowered.endsWith(QLatin1Char('.'))) {
        lowered.chop(1);
    }
    if (lowered == QLatin1String("localhost") || m_ownNames.contains(lowered)) {
        return true;
    }
    const QHostAddress address(lowered);
    if (address.isNull() || lowered.contains(QLatin1Char('%'))) {
        return false;
    }
    return address.isLoopback() || (m_isOwnAddress && m_isOwnAddress(address));
}

} // namespace cordavelle
