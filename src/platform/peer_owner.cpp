#include "peer_owner.h"

#include "socket_diagnostics.h"

#include <QFile>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

namespace cordavelle {

// Both ends as the peer's socket sees them: its own address first.
struct KernelPeerOwners::Connection {
    int family = AF_INET;
    std::array<unsigned char, 16> peerAddress{};
    quint16 peerPort = 0;
    std::array<unsigned char, 16> ourAddress{};
    quint16 ourPort = 0;
    // The interface of a link-local peer: its socket is bound to it, and the kernel finds a bound
    // socket only when asked on that interface.
    unsigned interfaceIndex = 0;
};

namespace {

constexpr unsigned char kTimeWait = 6;

QString systemReason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Reads one of the connection's two addresses with `read` (getpeername or getsockname). On failure
// the owner to report: nobody's for a peer that reset the connection already, unknown otherwise.
std::optional<PeerOwner> readAddress(int (*read)(int, sockaddr *, socklen_t *), qintptr descriptor,
                                     sockaddr_storage &address)
{
    socklen_t length = sizeof address;
    if (read(static_cast<int>(descriptor), reinterpret_cast<sockaddr *>(&address), &length) == 0) {
        return std::nullopt;
    }
    const int error = errno;
    if (error == ENOTCONN) {
        return PeerOwner{PeerOwner::Kind::notFound, 0, {}};
    }
    return PeerOwner{PeerOwner::Kind::unknown, 0,
                     QStringLiteral("the connection's addresses can't be read: ") + systemReason(error)};
}

// Fills the address bytes, port (host order) and interface of a scoped address of one end; an
// IPv4 peer of a dual-stack socket comes as "::ffff:a.b.c.d" and is turned back into IPv4, as the
// kernel files it.
bool readEnd(const sockaddr_storage &end, int &family, std::array<unsigned char, 16> &address, quint16 &port,
             unsigned &interfaceIndex)
{
    if (end.ss_family == AF_INET) {
        const auto &v4 = reinterpret_cast<const sockaddr_in &>(end);
        family = AF_INET;
        std::memcpy(address.data(), &v4.sin_addr, 4);
        port = ntohs(v4.sin_port);
        return true;
    }
    if (end.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(end);
        port = ntohs(v6.sin6_port);
        interfaceIndex = v6.sin6_scope_id;
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            family = AF_INET;
            std::memcpy(address.data(), v6.sin6_addr.s6_addr + 12, 4);
        } else {
            family = AF_INET6;
            std::memcpy(address.data(), v6.sin6_addr.s6_addr, 16);
        }
        return true;
    }
    return false;
}

PeerOwner ownerWithUid(unsigned uid)
{
    // The helper never changes its user; asked once rather than for every connection.
    static const uid_t self = ::geteuid();
    return {uid == self ? PeerOwner::Kind::thisUser : PeerOwner::Kind::otherUser, uid, {}};
}

// An address and port as /proc/net/tcp{,6} print them: each 32-bit word of the address as the
// machine holds it, in upper-case hex, then the port.
QByteArray procText(const unsigned char *address, int words, quint16 port)
{
    QByteArray text;
    for (int i = 0; i < words; ++i) {
        quint32 word = 0;
        std::memcpy(&word, address + 4 * i, 4);
        text += QByteArray::number(word, 16).rightJustified(8, '0').toUpper();
    }
    return text + ':' + QByteArray::number(port, 16).rightJustified(4, '0').toUpper();
}

} // namespace

KernelPeerOwners::KernelPeerOwners(Source source) : m_source(source) {}

KernelPeerOwners::~KernelPeerOwners()
{
    if (m_netlink >= 0) {
        ::close(m_netlink);
    }
}

PeerOwner PeerOwners::ownerOfPeer(qintptr descriptor)
{
    sockaddr_storage theirs{};
    if (std::optional<PeerOwner> failed = readAddress(::getpeername, descriptor, theirs)) {
        return *failed;
    }
    return ownerOfPeer(descriptor, theirs);
}

PeerOwner KernelPeerOwners::ownerOfPeer(qintptr descriptor, const sockaddr_storage &theirs)
{
    sockaddr_storage ours{};
    if (std::optional<PeerOwner> failed = readAddress(::getsockname, descriptor, ours)) {
        return *failed;
    }
    Connection connection;
    int ourFamily = 0;
    unsigned ourInterface = 0;
    if (!readEnd(theirs, connection.family, connection.peerAddress, connection.peerPort, connection.interfaceIndex)
        || !readEnd(ours, ourFamily, connection.ourAddress, connection.ourPort, ourInterface)
        || ourFamily != connection.family) {
        return {PeerOwner::Kind::unknown, 0, QStringLiteral("the connection is not TCP over IP")};
    }
    if (connection.interfaceIndex == 0) {
        connection.interfaceIndex = ourInterface;
    }
    if (m_source == Source::socketDiagnostics) {
        if (auto owner = askSocketDiagnostics(connection)) {
            return *owner;
        }
    }
    return searchProcTable(connection);
}

std::optional<PeerOwner> KernelPeerOwners::askSocketDiagnostics(const Connection &connection)
{
    if (m_netlink < 0) {
        m_netlink = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
        if (m_netlink < 0) {
            return std::nullopt;
        }
    }
    // No dump: the kernel looks up exactly the socket named.
    SocketDiagnosticsQuery query = tcpDiagnosticsQuery(connection.family, ~0U, 0, ++m_sequence);
    query.request.id.idiag_sport = htons(connection.peerPort);
    query.request.id.idiag_dport = htons(connection.ourPort);
    const std::size_t addressBytes = connection.family == AF_INET ? 4 : 16;
    std::memcpy(query.request.id.idiag_src, connection.peerAddress.data(), addressBytes);
    std::memcpy(query.request.id.idiag_dst, connection.ourAddress.data(), addressBytes);
    // A socket bound to no interface is found whichever is named.
    query.request.id.idiag_if = connection.interfaceIndex;
    query.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    query.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (!sendToKernel(m_netlink, query)) {
        ::close(m_netlink);
        m_netlink = -1;
        return std::nullopt;
    }
    // The kernel answers within the send, so the reply is already waiting.
    alignas(nlmsghdr) std::array<char, 8192> buffer{};
    while (true) {
        const ssize_t received = ::recv(m_netlink, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        auto length = static_cast<unsigned>(received);
        for (auto *message = reinterpret_cast<nlmsghdr *>(buffer.data()); NLMSG_OK(message, length);
             message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_seq != m_sequence) {
                continue;  // the answer to an earlier query that was given up on
            }
            if (message->nlmsg_type == NLMSG_ERROR) {
                const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(message));
                if (error->error == -ENOENT) {
                    return PeerOwner{PeerOwner::Kind::notFound, 0, {}};
                }
                return std::nullopt;
            }
            if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY) {
                return std::nullopt;
            }
            const auto *found = static_cast<const inet_diag_msg *>(NLMSG_DATA(message));
            if (found->idiag_state == kTimeWait || found->idiag_inode == 0) {
                return PeerOwner{PeerOwner::Kind::unknown, 0, {}};
            }
            return ownerWithUid(found->idiag_uid);
        }
    }
}

PeerOwner KernelPeerOwners::searchProcTable(const Connection &connection)
{
    // An IPv4 peer is filed in tcp, or in tcp6 with its address mapped when its socket is IPv6.
    struct Table {
        const char *path;
        QByteArray peer;
        QByteArray ours;
    };
    std::vector<Table> tables;
    if (connection.family == AF_INET) {
        tables.push_back({"/proc/net/tcp", procText(connection.peerAddress.data(), 1, connection.peerPort),
                          procText(connection.ourAddress.data(), 1, connection.ourPort)});
        std::array<unsigned char, 16> peer{};
        std::array<unsigned char, 16> ours{};
        peer[10] = peer[11] = ours[10] = ours[11] = 0xff;
        std::memcpy(peer.data() + 12, connection.peerAddress.data(), 4);
        std::memcpy(ours.data() + 12, connection.ourAddress.data(), 4);
        tables.push_back({"/proc/net/tcp6", procText(peer.data(), 4, connection.peerPort),
                          procText(ours.data(), 4, connection.ourPort)});
    } else {
        tables.push_back({"/proc/net/tcp6", procText(connection.peerAddress.data(), 4, connection.peerPort),
                          procText(connection.ourAddress.data(), 4, connection.ourPort)});
    }
    bool readAny = false;
    for (const Table &table : tables) {
        QFile file(QString::fromLatin1(table.path));
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        readAny = true;
        // Read whole, up to the read that returns nothing: the table has no size, so atEnd() tells
        // the end wherever a buffered read happens to stop at the end of a line, and in a table
        // longer than one buffer that left out the lines after it now and then.
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) {  // the first line names the columns
            const QList<QByteArray> fields = lines[i].simplified().split(' ');
            // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
            if (fields.size() < 10 || fields[1] != table.peer || fields[2] != table.ours) {
                continue;
            }
            bool stateRead = false;
            const unsigned state = fields[3].toUInt(&stateRead, 16);
            if (!stateRead || state == kTimeWait || fields[9] == "0") {
                return {PeerOwner::Kind::unknown, 0, {}};
            }
            bool uidRead = false;
            const unsigned uid = fields[7].toUInt(&uidRead);
            if (!uidRead) {
                return {PeerOwner::Kind::unknown, 0, QStringLiteral("%1 could not be read").arg(QLatin1String(table.path))};
            }
            return ownerWithUid(uid);
        }
    }
    if (!readAny) {
        return {PeerOwner::Kind::unknown, 0, QStringLiteral("neither netlink nor /proc/net/tcp can be read")};
    }
    return {PeerOwner::Kind::notFound, 0, {}};
}

} // namespace cordavelle
