#pragma once

#include <QHostAddress>
#include <QList>

namespace cordavelle {

// One address of an interface of this machine with the length of its on-link prefix
// (192.168.1.20/24, 2001:db8:1::20/64). `address` carries no zone; a link-local one names its
// interface in `zone` ("eth0"), since the same link-local address may be another host's on
// another link.
struct InterfaceAddress {
    QHostAddress address;
    int prefixLength = -1;
    QString zone;
};

// The addresses of this machine's network interfaces, as they are at the moment of asking.
class NetworkInterfaces {
public:
    virtual ~NetworkInterfaces() = default;
    // The addresses of the interfaces that are up.
    virtual QList<InterfaceAddress> addresses() const = 0;

    // Whether `address` is one of this machine's own: a loopback address or one of addresses(),
    // a link-local one only on its own interface (the zone of `address`, where it has one).
    bool holds(const QHostAddress &address) const;
};

// The kernel's interface list (netlink), read anew on every call: addresses come and go with
// DHCP, router advertisements and VPNs while the helper runs.
class KernelNetworkInterfaces final : public NetworkInterfaces {
public:
    QList<InterfaceAddress> addresses() const override;
};

} // namespace cordavelle
