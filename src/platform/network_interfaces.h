#pragma once

#include <QHostAddress>
#include <QList>

namespace cordavelle {

// One address of an interface of this machine with the length of its on-link prefix
// (192.168.1.20/24, 2001:db8:1::20/64).
struct InterfaceAddress {
    QHostAddress address;
    int prefixLength = -1;
};

// The addresses of this machine's network interfaces, as they are at the moment of asking.
class NetworkInterfaces {
public:
    virtual ~NetworkInterfaces() = default;
    // The addresses of the interfaces that are up.
    virtual QList<InterfaceAddress> addresses() const = 0;
};

// The kernel's interface list (netlink), read anew on every call: addresses come and go with
// DHCP, router advertisements and VPNs while the helper runs.
class KernelNetworkInterfaces final : public NetworkInterfaces {
public:
    QList<InterfaceAddress> addresses() const override;
};

} // namespace cordavelle
