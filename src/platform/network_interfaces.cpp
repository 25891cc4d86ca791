#include "network_interfaces.h"

#include <QNetworkInterface>

#include <algorithm>

namespace cordavelle {

bool NetworkInterfaces::holds(const QHostAddress &address) const
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    QHostAddress bare = mapped ? QHostAddress(v4) : address;
    const QString zone = bare.scopeId();
    bare.setScopeId(QString());
    if (bare.isLoopback()) {
        return true;
    }
    const QList<InterfaceAddress> own = addresses();
    return std::any_of(own.cbegin(), own.cend(), [&](const InterfaceAddress &entry) {
        return entry.address == bare && (zone.isEmpty() || entry.zone.isEmpty() || entry.zone == zone);
    });
}

QList<InterfaceAddress> KernelNetworkInterfaces::addresses() const
{
    QList<InterfaceAddress> found;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (!interface.flags().testFlag(QNetworkInterface::IsUp)) {
            continue;
        }
        const QList<QNetworkAddressEntry> entries = interface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            QHostAddress address = entry.ip();
            const bool scoped = address.protocol() == QAbstractSocket::IPv6Protocol && address.isLinkLocal();
            const QString zone = scoped ? interface.name() : QString();
            address.setScopeId(QString());
            found.push_back({address, entry.prefixLength(), zone});
        }
    }
    return found;
}

} // namespace cordavelle
