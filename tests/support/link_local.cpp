#include "link_local.h"

#include "needs_root.h"

#include "platform/network_interfaces.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cordavelle::test {

namespace {

QString lastErrorText() { return QString::fromLocal8Bit(std::strerror(errno)); }

// The kernel's struct in6_ifreq, whose header clashes with the C library's.
struct AddressRequest {
    in6_addr address;
    quint32 prefixLength;
    int interfaceIndex;
};

// A new address is tentative for a moment, even on the loopback: a connection made meanwhile
// leaves from ::1 instead. It can be bound to once it is usable.
bool waitUntilUsable(const in6_addr &address, int interfaceIndex)
{
    sockaddr_in6 own{};
    own.sin6_family = AF_INET6;
    own.sin6_addr = address;
    own.sin6_scope_id = static_cast<quint32>(interfaceIndex);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool bound = probe >= 0 && ::bind(probe, reinterpret_cast<const sockaddr *>(&own), sizeof own) == 0;
        if (probe >= 0) {
            ::close(probe);
        }
        if (bound) {
            return true;
        }
        ::usleep(10000);
    }
    return false;
}

std::optional<QHostAddress> makeOne(QString *whyNot)
{
    if (::unshare(CLONE_NEWNET) != 0) {
        *whyNot = QStringLiteral("cannot make a network namespace of the test's own for an IPv6 link-local "
                                 "address: ") + lastErrorText();
        return std::nullopt;
    }
    const int control = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq flags{};
    std::strncpy(flags.ifr_name, "lo", IFNAMSIZ - 1);
    AddressRequest request{};
    request.prefixLength = 64;
    request.interfaceIndex = static_cast<int>(::if_nametoindex("lo"));
    ::inet_pton(AF_INET6, "fe80::1", &request.address);
    const bool made = control >= 0 && ::ioctl(control, SIOCGIFFLAGS, &flags) == 0
                      && (flags.ifr_flags |= IFF_UP, ::ioctl(control, SIOCSIFFLAGS, &flags) == 0)
                      && ::ioctl(control, SIOCSIFADDR, &request) == 0;
    if (!made) {
        *whyNot = QStringLiteral("cannot put fe80::1 on the loopback of a network namespace: ") + lastErrorText();
    }
    if (control >= 0) {
        ::close(control);
    }
    if (!made || !waitUntilUsable(request.address, request.interfaceIndex)) {
        if (made) {
            *whyNot = QStringLiteral("fe80::1 on the loopback of a network namespace stayed unusable");
        }
        return std::nullopt;
    }
    QHostAddress address(QStringLiteral("fe80::1"));
    address.setScopeId(QStringLiteral("lo"));
    return address;
}

} // namespace

std::optional<QHostAddress> ownLinkLocalAddress(QString *whyNot)
{
    const QList<InterfaceAddress> own = KernelNetworkInterfaces().addresses();
    for (const InterfaceAddress &entry : own) {
        if (entry.address.protocol() == QAbstractSocket::IPv6Protocol && entry.address.isLinkLocal()
            && !entry.zone.isEmpty()) {
            QHostAddress address = entry.address;
            address.setScopeId(entry.zone);
            return address;
        }
    }
    if (!runsAsRoot()) {
        *whyNot = QStringLiteral("the machine has no IPv6 link-local address, and making one in a network namespace "
                                 "of the test's own needs root");
        return std::nullopt;
    }
    return makeOne(whyNot);
}

} // namespace cordavelle::test
