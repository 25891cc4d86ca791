#include "platform/network_interfaces.h"
#include "platform/peer_owner.h"

#include "support/link_local.h"
#include "support/local_ports.h"
#include "support/needs_root.h"
#include "support/other_user_client.h"
#include "support/test_platform.h"

#include <QThread>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace cordavelle {
namespace {

using Source = KernelPeerOwners::Source;

// A listening socket on a free loopback port; IPv6 ones take IPv4 peers too, as the API's does.
class Listener {
public:
    explicit Listener(int family)
    {
        m_fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t length = 0;
        if (family == AF_INET6) {
            const int no = 0;
            ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
            auto &v6 = reinterpret_cast<sockaddr_in6 &>(address);
            v6.sin6_family = AF_INET6;
            v6.sin6_addr = in6addr_any;
            length = sizeof v6;
        } else {
            auto &v4 = reinterpret_cast<sockaddr_in &>(address);
            v4.sin_family = AF_INET;
            v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof v4;
        }
        if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(m_fd, 4) != 0
            || ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            ADD_FAILURE() << "cannot listen: " << std::strerror(errno);
            return;
        }
        m_port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(address).sin6_port
                                          : reinterpret_cast<sockaddr_in &>(address).sin_port);
    }
    ~Listener() { ::close(m_fd); }

    quint16 port() const { return m_port; }
    // The next connection, or -1 after 5 s.
    int accept()
    {
        pollfd waiting{m_fd, POLLIN, 0};
        return ::poll(&waiting, 1, 5000) == 1 ? ::accept(m_fd, nullptr, nullptr) : -1;
    }

private:
    int m_fd = -1;
    quint16 m_port = 0;
};

int connectTo(const QHostAddress &host, quint16 port)
{
    const test::SocketAddress address = test::socketAddress(host, port);
    const int fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, address.get(), address.length) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

TEST(KernelPeerOwners, TellsThisUsersPeerOverIPv4IPv6AndDualStackFromEitherSource)
{
    struct Route {
        int listenerFamily;
        QHostAddress client;
    };
    const Route routes[] = {{AF_INET, QHostAddress(QHostAddress::LocalHost)},
                            {AF_INET6, QHostAddress(QHostAddress::LocalHost)},
                            {AF_INET6, QHostAddress(QHostAddress::LocalHostIPv6)}};
    for (const Source source : {Source::socketDiagnostics, Source::procTable}) {
        KernelPeerOwners owners(source);
        for (const Route &route : routes) {
            Listener listener(route.listenerFamily);
            const int client = connectTo(route.client, listener.port());
            if (client < 0) {
                continue;  // no IPv6 loopback here
            }
            const int accepted = listener.accept();
            ASSERT_GE(accepted, 0);
            const PeerOwner owner = owners.ownerOfPeer(accepted);
            EXPECT_EQ(owner.kind, PeerOwner::Kind::thisUser) << route.client.toString().toStdString() << ' ' << owner.detail.toStdString();
            EXPECT_EQ(owner.uid, ::geteuid());

            // Once the peer has gone altogether, it is no one's.
            const linger reset{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            ::close(client);
            EXPECT_NE(owners.ownerOfPeer(accepted).kind, PeerOwner::Kind::thisUser);
            ::close(accepted);
        }
    }
}

// On a busy machine the table takes many reads and changes between lookups: a live peer is found
// wherever its line falls.
TEST(KernelPeerOwners, FindsEveryLivePeerInALongChangingProcTable)
{
    Listener listener(AF_INET6);
    std::vector<std::pair<int, int>> connections;  // client, accepted
    const auto resetAll = [&] {
        // Reset rather than closed, so that nothing lingers in the table afterwards.
        const linger now{1, 0};
        for (const auto &[client, accepted] : connections) {
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, &now, sizeof now);
            ::close(client);
            ::close(accepted);
        }
    };
    while (connections.size() < 300) {
        const int client = connectTo(QHostAddress(QHostAddress::LocalHostIPv6), listener.port());
        if (client < 0) {
            resetAll();
            GTEST_SKIP() << "no IPv6 loopback here";
        }
        connections.emplace_back(client, listener.accept());
    }

    KernelPeerOwners owners(Source::procTable);
    const int lookups = 200;
    int found = 0;
    for (int round = 0; round < lookups; ++round) {
        // A connection that has carried data prints a few more figures, moving every line after it.
        const char byte = 'x';
        ::send(connections[std::size_t(round)].first, &byte, 1, 0);
        const int asked = connections[std::size_t(round * 7 + 150) % connections.size()].second;
        found += owners.ownerOfPeer(asked).kind == PeerOwner::Kind::thisUser;
    }
    EXPECT_EQ(found, lookups);
    resetAll();
}

TEST(KernelPeerOwners, TellsAnotherUsersPeerFromEitherSource)
{
    SKIP_UNLESS_ROOT("running a client as another user");
    for (const Source source : {Source::socketDiagnostics, Source::procTable}) {
        Listener listener(AF_INET6);
        test::OtherUserClient client(QHostAddress(QHostAddress::LocalHost), listener.port(), "GET / HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(client.started());
        const int accepted = listener.accept();
        ASSERT_GE(accepted, 0);
        const PeerOwner owner = KernelPeerOwners(source).ownerOfPeer(accepted);
        EXPECT_EQ(owner.kind, PeerOwner::Kind::otherUser) << owner.detail.toStdString();
        EXPECT_EQ(owner.uid, test::kOtherUid);
        ::close(accepted);
        EXPECT_EQ(client.bytesReceived([] { QThread::msleep(5); }), 0L);
    }
}

// A program connecting through the machine's own link-local address binds its socket to the
// interface; the lookup must ask on that interface, or the peer reads as one elsewhere.
TEST(KernelPeerOwners, TellsWhosePeerComesThroughALinkLocalAddressOfThisMachine)
{
    QString whyNot;
    const std::optional<QHostAddress> linkLocal = test::ownLinkLocalAddress(&whyNot);
    if (!linkLocal) {
        GTEST_SKIP() << whyNot.toStdString();
    }
    for (const Source source : {Source::socketDiagnostics, Source::procTable}) {
        SCOPED_TRACE(source == Source::procTable ? "proc table" : "socket diagnostics");
        Listener listener(AF_INET6);
        const int client = connectTo(*linkLocal, listener.port());
        ASSERT_GE(client, 0) << linkLocal->toString().toStdString();
        const int accepted = listener.accept();
        ASSERT_GE(accepted, 0);
        const PeerOwner owner = KernelPeerOwners(source).ownerOfPeer(accepted);
        EXPECT_EQ(owner.kind, PeerOwner::Kind::thisUser) << linkLocal->toString().toStdString();
        ::close(accepted);
        ::close(client);

        if (!test::OtherUserClient::canStart()) {
            continue;
        }
        test::OtherUserClient other(*linkLocal, listener.port(), "GET / HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(other.started());
        const int otherAccepted = listener.accept();
        ASSERT_GE(otherAccepted, 0);
        const PeerOwner otherOwner = KernelPeerOwners(source).ownerOfPeer(otherAccepted);
        EXPECT_EQ(otherOwner.kind, PeerOwner::Kind::otherUser);
        EXPECT_EQ(otherOwner.uid, test::kOtherUid);
        ::close(otherAccepted);
        EXPECT_EQ(other.bytesReceived([] { QThread::msleep(5); }), 0L);
    }
    SKIP_UNLESS_ROOT("the peers of another user");
}

// The interface list is what tells a peer of this machine from one elsewhere: it must keep the
// IPv6 addresses and the prefix lengths. The loopback's are in every network namespace.
TEST(KernelNetworkInterfaces, ListsIPv4AndIPv6AddressesWithTheirPrefixes)
{
    const QList<InterfaceAddress> own = KernelNetworkInterfaces().addresses();
    const auto has = [&own](const char *address, int prefixLength) {
        return std::any_of(own.cbegin(), own.cend(), [&](const InterfaceAddress &entry) {
            return entry.address == QHostAddress(QString::fromLatin1(address)) && entry.prefixLength == prefixLength;
        });
    };
    EXPECT_TRUE(has("::1", 128));
    EXPECT_TRUE(has("127.0.0.1", 8));
    for (const InterfaceAddress &entry : own) {
        EXPECT_TRUE(entry.address.scopeId().isEmpty()) << entry.address.toString().toStdString();
        EXPECT_EQ(entry.zone.isEmpty(), !entry.address.isLinkLocal() || entry.address.protocol() != QAbstractSocket::IPv6Protocol)
            << entry.address.toString().toStdString();
    }
}

TEST(NetworkInterfaces, AnAddressOfThisMachineIsALoopbackOneOrAListedOneOnItsOwnLink)
{
    test::FixedNetworkInterfaces interfaces;
    interfaces.list = {{QHostAddress(QStringLiteral("192.0.2.2")), 24, {}},
                       {QHostAddress(QStringLiteral("fe80::2")), 64, QStringLiteral("eth0")}};
    const std::pair<const char *, bool> cases[] = {
        {"127.0.0.1", true},      {"127.0.0.5", true},       {"::1", true},
        {"::ffff:127.0.0.1", true}, {"192.0.2.2", true},     {"::ffff:192.0.2.2", true},
        {"fe80::2%eth0", true},   {"fe80::2", true},         {"192.0.2.3", false},
        {"fe80::2%eth1", false},  {"fe80::3%eth0", false},   {"2001:db8::2", false},
    };
    for (const auto &[address, own] : cases) {
        EXPECT_EQ(interfaces.holds(QHostAddress(QString::fromLatin1(address))), own) << address;
    }
}

} // namespace
} // namespace cordavelle
