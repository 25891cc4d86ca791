#include "port_hold.h"

#include <cerrno>
#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace cordavelle {

namespace {

sockaddr_in6 ipv6Address(int port, PortHold::Address address)
{
    sockaddr_in6 bound{};
    bound.sin6_family = AF_INET6;
    bound.sin6_port = htons(static_cast<uint16_t>(port));
    bound.sin6_addr = address == PortHold::Address::ipv6Loopback ? in6addr_loopback : in6addr_any;
    return bound;
}

} // namespace

PortHold::PortHold(int port, Address address)
{
    if (port < 1 || port > 65535) {
        return;
    }
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return; // no IPv6 in this kernel
    }
    // No SO_REUSEADDR: with it, a socket of any user that asks for it too could bind beside the
    // hold, which never listens, and then listen. SO_REUSEPORT lets only sockets of this user
    // share the address, so that two helpers of one user (or their tests) don't shut each other
    // out.
    const int on = 1;
    const sockaddr_in6 bound = ipv6Address(port, address);
    if (::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0
        || ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
        ::close(fd);
        m_outcome = Outcome::taken; // can't be held without touching the other family
        return;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&bound), sizeof bound) != 0) {
        const int error = errno;
        ::close(fd);
        m_outcome = error == EADDRNOTAVAIL || error == EAFNOSUPPORT ? Outcome::unavailable : Outcome::taken;
        return;
    }
    m_fd = fd;
    m_outcome = Outcome::held;
}

PortHold::~PortHold()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

PortHold::PortHold(PortHold &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_outcome(std::exchange(other.m_outcome, Outcome::unavailable))
{
}

PortHold &PortHold::operator=(PortHold &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = std::exchange(other.m_fd, -1);
        m_outcome = std::exchange(other.m_outcome, Outcome::unavailable);
    }
    return *this;
}

bool canListenOnBothFamilies()
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const int off = 0;
    const sockaddr_in6 any = ipv6Address(0, PortHold::Address::ipv6Any);
    const bool both = ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0
                      && ::bind(fd, reinterpret_cast<const sockaddr *>(&any), sizeof any) == 0;
    ::close(fd);
    return both;
}

} // namespace cordavelle
