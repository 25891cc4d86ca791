#include "service_addresses.h"

namespace cordavelle {

QString rigctldListenAddress(bool networkAccess, bool bothFamilies)
{
    if (!networkAccess) {
        return QStringLiteral("127.0.0.1");
    }
    return bothFamilies ? QStringLiteral("::") : QStringLiteral("0.0.0.0");
}

std::optional<PortHold::Address> otherFamilyHold(ServiceID id, bool networkAccess, bool bothFamilies)
{
    if (id == ServiceID::rigctld && networkAccess && bothFamilies) {
        return std::nullopt;
    }
    return networkAccess ? PortHold::Address::ipv6Any : PortHold::Address::ipv6Loopback;
}

} // namespace cordavelle
