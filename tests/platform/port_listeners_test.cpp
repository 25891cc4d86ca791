#include "platform/port_listeners.h"

#include "support/child_processes.h"
#include "support/event_wait.h"
#include "support/local_ports.h"
#include "support/test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <tuple>
#include <utility>

#include <fcntl.h>

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

// Waits until `pid` runs the program named `name` (its exec is done) and, when given, its
// environment holds `variable`: the exec names the process before the new environment can be read.
testing::AssertionResult runsProgram(pid_t pid, const QByteArray &name, const QByteArray &variable = {})
{
    const auto runs = [&] {
        return test::readBytes(QStringLiteral("/proc/%1/comm").arg(pid)) == name + '\n'
               && (variable.isEmpty()
                   || test::readBytes(QStringLiteral("/proc/%1/environ").arg(pid)).split('\0').contains(variable));
    };
    if (test::processEventsUntil(runs, std::chrono::seconds(60))) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "process " << pid << " did not come to run " << name.constData()
                                       << (variable.isEmpty() ? "" : " with ") << variable.constData()
                                       << " within 60 s";
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
            ::execl("/bin/sleep", "sleep", "600", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ASSERT_GT(child, 0);
        const auto endChild = qScopeGuard([child] {
            test::signalChild(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        });
        // Until its exec closes them, the child holds the parent's sockets too.
        ASSERT_TRUE(runsProgram(child, "sleep"));
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

// A socket bound without listening keeps others off its address as well as a listener does:
// netlink lists it with its address, /proc does not, and either way the socket leads to the
// process that holds it.
TEST(PortListeners, TheSocketsThatHoldAPortAreFoundListeningOrOnlyBound)
{
    const QString program = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    for (const int family : {AF_INET, AF_INET6}) {
        for (const bool listening : {true, false}) {
            SCOPED_TRACE(QStringLiteral("%1, %2").arg(family == AF_INET ? "IPv4" : "IPv6",
                                                      listening ? "listening" : "bound").toStdString());
            const auto socket = loopbackSocket(family, listening);
            ASSERT_TRUE(socket);
            PortSocket expected{::geteuid(), socket->inode, listening, family, {}};
            if (family == AF_INET) {
                const in_addr loopback{htonl(INADDR_LOOPBACK)};
                std::memcpy(expected.address.data(), &loopback, sizeof loopback);
            } else {
                std::memcpy(expected.address.data(), &in6addr_loopback, sizeof in6addr_loopback);
            }
            for (const auto source : {SocketTableSource::socketDiagnostics, SocketTableSource::procTable}) {
                const bool listed = listening || source == SocketTableSource::socketDiagnostics;
                const auto sockets = tcpSocketsOn(socket->port, source);
                ASSERT_TRUE(sockets);
                ASSERT_EQ(sockets->size(), listed ? 1u : 0u);
                if (listed) {
                    const PortSocket &found = sockets->front();
                    EXPECT_EQ(std::tie(found.uid, found.inode, found.listening, found.family, found.address),
                              std::tie(expected.uid, expected.inode, expected.listening, expected.family,
                                       expected.address));
                }
            }
            const std::optional<SocketProcess> holder = processHolding(socket->inode);
            ASSERT_TRUE(holder);
            EXPECT_EQ(holder->pid, ::getpid());
            EXPECT_EQ(holder->program, program);
        }
    }
    EXPECT_FALSE(processHolding(0));

    // A holder whose program file was replaced since it began, as an upgrade does, is named by
    // the program all the same.
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString copy = folder.filePath(QStringLiteral("holder"));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), copy));
    const auto socket = loopbackSocket(AF_INET, true);
    ASSERT_TRUE(socket);
    const int inherited = ::dup(socket->fd); // without close-on-exec
    ASSERT_GE(inherited, 0);
    const QByteArray path = QFile::encodeName(copy);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(path.constData(), "holder", "600", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(inherited);
    ASSERT_GT(child, 0);
    const auto endChild = qScopeGuard([child] {
        test::signalChild(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    });
    ASSERT_TRUE(runsProgram(child, "holder"));
    ASSERT_TRUE(QFile::remove(copy));
    const unsigned long inode = socket->inode;
    ::close(std::exchange(socket->fd, -1));
    const std::optional<SocketProcess> holder = processHolding(inode);
    ASSERT_TRUE(holder);
    EXPECT_EQ(holder->pid, child);
    EXPECT_EQ(holder->program.toStdString(), "holder");
}

// A launched program that forks itself away (the double fork of a daemon) leaves the tree of
// parent links, but its last process keeps the group the launched one leads: its listener is the
// launched program's. One that also left the group (a session of its own) is not.
TEST(PortListeners, AListenerThatLeftTheTreeButKeptTheGroupIsTheLaunchedPrograms)
{
    for (const bool ownSession : {false, true}) {
        SCOPED_TRACE(ownSession ? "own session" : "launcher's group");
        const auto listener = loopbackSocket(AF_INET, true);
        ASSERT_TRUE(listener);
        // The daemon tells its pid once it is where it stays; the launched program that it holds
        // nothing of the listener any more.
        int daemonPipe[2];
        int readyPipe[2];
        ASSERT_EQ(::pipe(daemonPipe), 0);
        ASSERT_EQ(::pipe(readyPipe), 0);
        const pid_t launched = ::fork();
        if (launched == 0) {
            // Only calls that are safe in the child of a threaded process.
            ::setpgid(0, 0);
            const pid_t middle = ::fork();
            if (middle == 0) {
                if (::fork() == 0) {
                    if (ownSession) {
                        ::setsid();
                    }
                    const pid_t self = ::getpid();
                    [[maybe_unused]] const ssize_t written = ::write(daemonPipe[1], &self, sizeof self);
                    while (true) {
                        ::pause();
                    }
                }
                ::_exit(0);
            }
            ::waitpid(middle, nullptr, 0);
            ::close(listener->fd);
            const char ready = 1;
            [[maybe_unused]] const ssize_t written = ::write(readyPipe[1], &ready, 1);
            while (true) {
                ::pause();
            }
        }
        ASSERT_GT(launched, 0);
        pid_t daemon = 0;
        char ready = 0;
        const bool read = ::read(daemonPipe[0], &daemon, sizeof daemon) == sizeof daemon
                          && ::read(readyPipe[0], &ready, 1) == 1;
        for (const int fd : {daemonPipe[0], daemonPipe[1], readyPipe[0], readyPipe[1]}) {
            ::close(fd);
        }
        // The daemon, no child of the test's, waits until it is killed: held while it surely
        // runs, it is the one the kill reaches.
        const std::unique_ptr<test::ProcessHandle> daemonHandle =
            read && daemon > 0 ? std::make_unique<test::ProcessHandle>(daemon) : nullptr;
        const auto end = qScopeGuard([launched, &daemonHandle] {
            if (daemonHandle) {
                daemonHandle->signal(SIGKILL);
            }
            test::signalChild(launched, SIGKILL);
            ::waitpid(launched, nullptr, 0);
        });
        ASSERT_TRUE(read);
        EXPECT_EQ(processTreeHolds(ProcessTree{launched, {}}, {listener->inode}), !ownSession);
    }
}

// Wine starts its server for the prefix, and the server leaves the launched program's tree: the
// server of the launched program's prefix is its own, another prefix's server is not.
TEST(PortListeners, OnlyTheWineServerOfTheLaunchedProgramsPrefixCountsAsItsOwn)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString server = folder.filePath(QStringLiteral("wineserver"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/bin/sleep"), server));
    const QString prefix = folder.filePath(QStringLiteral("prefix"));
    // "lnk/../prefix" cleans to the launched program's prefix as text, but leads to "real/prefix".
    for (const char *made : {"prefix", "other", "real/inner", "real/prefix"}) {
        ASSERT_TRUE(QDir(folder.path()).mkpath(QLatin1String(made)));
    }
    ASSERT_TRUE(QFile::link(folder.filePath(QStringLiteral("real/inner")), folder.filePath(QStringLiteral("lnk"))));
    ASSERT_TRUE(QFile::link(prefix, folder.filePath(QStringLiteral("alias"))));
    struct Row {
        const char *cause;
        QString serversPrefix;
        bool counted;
    };
    const Row rows[] = {
        {"the launched program's prefix", prefix + QLatin1Char('/'), true},
        {"that prefix through a link", folder.filePath(QStringLiteral("alias")), true},
        {"another prefix", folder.filePath(QStringLiteral("other")), false},
        {"another prefix named like it as text", folder.filePath(QStringLiteral("lnk/../prefix")), false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.cause);
        const auto listener = loopbackSocket(AF_INET, true);
        ASSERT_TRUE(listener);
        const QByteArray path = QFile::encodeName(server);
        const QByteArray environment = "WINEPREFIX=" + QFile::encodeName(row.serversPrefix);
        const pid_t child = ::fork();
        if (child == 0) {
            // The listener goes over the exec, as Wine's server gets its sockets.
            ::fcntl(listener->fd, F_SETFD, 0);
            char *const arguments[] = {const_cast<char *>(path.constData()), const_cast<char *>("600"), nullptr};
            char *const variables[] = {const_cast<char *>(environment.constData()), nullptr};
            ::execve(path.constData(), arguments, variables);
            ::_exit(127);
        }
        ASSERT_GT(child, 0);
        const auto endChild = qScopeGuard([child] {
            test::signalChild(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        });
        // The owner is known by the server's environment, so the check waits until it can be read.
        ASSERT_TRUE(runsProgram(child, "wineserver", environment));
        EXPECT_EQ(processTreeHolds(ProcessTree{0, prefix}, {listener->inode}), row.counted);
    }
}

} // namespace
} // namespace cordavelle
