#pragma once

#include <QString>

#include <optional>

#include <sys/socket.h>

namespace cordavelle {

// Whose program holds the far end of an accepted TCP connection, as this machine's kernel tells.
struct PeerOwner {
    enum class Kind {
        // A socket of this machine, of the user this process runs as.
        thisUser,
        // A socket of this machine, of another user (`uid`).
        otherUser,
        // No socket of this machine has the far end's address and port: a peer elsewhere, or
        // one that has already closed.
        notFound,
        // The far end has closed and lingers without an owner, or the kernel could not be asked
        // (`detail` says why).
        unknown,
    };
    Kind kind = Kind::unknown;
    unsigned uid = 0;
    QString detail;
};

class PeerOwners {
public:
    virtual ~PeerOwners() = default;
    // Looks up the peer of the connected TCP socket `descriptor`, whose far end is `peer`.
    virtual PeerOwner ownerOfPeer(qintptr descriptor, const sockaddr_storage &peer) = 0;
    // The same, asking the socket for its far end first.
    PeerOwner ownerOfPeer(qintptr descriptor);
};

// The kernel's own table of TCP sockets: one sock_diag query over netlink for exactly the peer's
// socket, or, where netlink can't answer, a search of /proc/net/tcp and /proc/net/tcp6 for the
// peer's address pair. Main thread only.
class KernelPeerOwners final : public PeerOwners {
public:
    enum class Source { socketDiagnostics, procTable };

    explicit KernelPeerOwners(Source source = Source::socketDiagnostics);
    ~KernelPeerOwners() override;
    KernelPeerOwners(const KernelPeerOwners &) = delete;
    KernelPeerOwners &operator=(const KernelPeerOwners &) = delete;

    using PeerOwners::ownerOfPeer;
    PeerOwner ownerOfPeer(qintptr descriptor, const sockaddr_storage &peer) override;

    struct Connection;

private:
    std::optional<PeerOwner> askSocketDiagnostics(const Connection &connection);
    static PeerOwner searchProcTable(const Connection &connection);

    Source m_source;
    // Kept open between connections: a query is then one send and one receive.
    int m_netlink = -1;
    unsigned m_sequence = 0;
};

} // namespace cordavelle
