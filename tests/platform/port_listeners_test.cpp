#include "platform/port_listeners.h"

#include "support/local_ports.h"

#include <QFile>
#include <QScopeGuard>

#include <gtest/gtest.h>

#include <csignal>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cordavelle {
namespace {

struct Socket {
    int fd = -1;
    quint16 port = 0;
    unsigned long inode = 0;
    ~Socket()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

// A TCP socket on the loopback address of `family`, bound to a port of the system's choice, and
// listening when asked.
std::unique_ptr<Socket> loopbackSocket(int family, bool listening)
{
    auto socket = std::make_unique<Socket>();
    const QHostAddress host(family == AF_INET ? QHostAddress::LocalHost : QHostAddress::LocalHostIPv6);
    const test::SocketAddress address = test::socketAddress(host, 0);
    socket->fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    struct stat status {};
    if (socket->fd < 0 || ::bind(socket->fd, address.get(), address.length) != 0
        || (listening && ::listen(socket->fd, 4) != 0)
        || ::getsockname(socket->fd, reinterpret_cast<sockaddr *>(&bound), &length) != 0
        || ::fstat(socket->fd, &status) != 0) {
        return nullptr;
    }
    socket->port = family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in &>(bound).sin_port)
                                     : ntohs(reinterpret_cast<sockaddr_in6 &>(bound).sin6_port);
    socket->inode = status.st_ino;
    return socket;
}

// The kernel's socket table against real sockets: what listens is found with its owner and its
// inode, whatever else uses the port is not, and the inode leads to the process that holds it.
TEST(PortListeners, TheKernelsTableNamesTheListenersOfAPortAndWhoseTheyAre)
{
    const unsigned self = ::geteuid();
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        const auto listener = loopbackSocket(family, true);
        ASSERT_TRUE(listener);
        for (const auto source : {SocketTableSource::socketDiagnostics, SocketTableSource::procTable}) {
            EXPECT_EQ(tcpListenersOn(listener->port, source), (std::vector<PortListener>{{self, listener->inode}}));
        }

        // A connection to it uses the port too, but only the listener listens.
        const int client = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto closeClient = qScopeGuard([client] { ::close(client); });
        const QHostAddress host(family == AF_INET ? QHostAddress::LocalHost : QHostAddress::LocalHostIPv6);
        const test::SocketAddress address = test::socketAddress(host, listener->port);
        ASSERT_EQ(::connect(client, address.get(), address.length), 0);
        const int accepted = ::accept(listener->fd, nullptr, nullptr);
        ASSERT_GE(accepted, 0);
        const auto closeAccepted = qScopeGuard([accepted] { ::close(accepted); });
        for (const auto source : {SocketTableSource::socketDiagnostics, SocketTableSource::procTable}) {
            EXPECT_EQ(tcpListenersOn(listener->port, source)->size(), 1u);
        }

        // Held by this process; not by a child of it that holds nothing.
        EXPECT_TRUE(processTreeHolds(ProcessTree{::getpid(), {}}, {listener->inode}));
        const pid_t child = ::fork();
        if (child == 0) {
            ::execl("/bin/sleep", "sleep", "30", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ASSERT_GT(child, 0);
        // Until its exec closes them, the child holds the parent's sockets too.
        QFile comm(QStringLiteral("/proc/%1/comm").arg(child));
        while (comm.open(QIODevice::ReadOnly) && comm.readAll() != "sleep\n") {
            comm.close();
            ::usleep(1000);
        }
        const auto endChild = qScopeGuard([child] {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        });
        EXPECT_FALSE(processTreeHolds(ProcessTree{child, {}}, {listener->inode}));
        EXPECT_FALSE(processTreeHolds(ProcessTree{::getpid(), {}}, {}));
    }

    // Bound but not listening: nobody listens there.
    const auto bound = loopbackSocket(AF_INET, false);
    ASSERT_TRUE(bound);
    for (const auto source : {SocketTableSource::socketDiagnostics, SocketTableSource::procTable}) {
        EXPECT_EQ(tcpListenersOn(bound->port, source), std::vector<PortListener>());
    }
}

} // namespace
} // namespace cordavelle
