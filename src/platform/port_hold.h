#pragma once

namespace cordavelle {

// A TCP port of this machine bound on an IPv6 address and never listened on. While it is held, no
// program of another user can bind that address or a wider one of its family, whatever reuse it
// asks for, and a connection to it is refused at once, so that a client that tried it first goes
// on to the next address of the name it looked up.
class PortHold {
public:
    enum class Address { ipv6Loopback, ipv6Any };
    enum class Outcome {
        held,
        // A socket of another user, or one of this user that allows no sharing, has the address
        // or a wider one.
        taken,
        // The machine has no such address: IPv6 is off, so nobody can take it either.
        unavailable,
    };

    PortHold() = default;
    // Binds `port` on `address`, for IPv6 alone (IPV6_V6ONLY), whatever the system's default.
    PortHold(int port, Address address);
    ~PortHold();
    PortHold(PortHold &&other) noexcept;
    PortHold &operator=(PortHold &&other) noexcept;
    PortHold(const PortHold &) = delete;
    PortHold &operator=(const PortHold &) = delete;

    Outcome outcome() const { return m_outcome; }

private:
    int m_fd = -1;
    Outcome m_outcome = Outcome::unavailable;
};

// Whether a program can listen on the IPv6 wildcard address for both families at once (IPv6 is
// on and lets IPv4 clients in as mapped addresses).
bool canListenOnBothFamilies();

} // namespace cordavelle
