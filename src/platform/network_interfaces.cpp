#include "network_interfaces.h"

#include <QNetworkInterface>

namespace cordavelle {

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
            address.setScopeId(QString());
            found.push_back({address, entry.prefixLength()});
        }
    }
    return found;
}

} // namespace cordavelle
