#pragma once

#include <QString>

#include <array>
#include <optional>
#include <vector>

namespace cordavelle {

// A socket that listens on a TCP port of this machine, as the kernel's socket table lists it.
struct PortListener {
    // Whose socket it is.
    unsigned uid = 0;
    // The socket's inode: "socket:[inode]" in /proc/<pid>/fd of every process that holds it.
    unsigned long inode = 0;

    bool operator==(const PortListener &) const = default;
};

// Where the kernel's table of TCP sockets is read: a sock_diag query over netlink for the
// listening sockets alone, or /proc/net/tcp and /proc/net/tcp6, which list every socket and cost
// milliseconds on a machine with large socket tables even when they hold few.
enum class SocketTableSource { socketDiagnostics, procTable };

// The sockets that listen on TCP `port`, IPv4 and IPv6, on any address. Unlike lsof, it sees
// every user's sockets. Asked over netlink, or from /proc where netlink can't answer; none when
// neither can be read.
std::optional<std::vector<PortListener>> tcpListenersOn(int port,
                                                        SocketTableSource source = SocketTableSource::socketDiagnostics);

// A socket that holds a TCP port of this machine: one that listens on it, or one bound to it that
// does not listen (yet), which keeps others from binding the same address just as well.
struct PortSocket {
    unsigned uid = 0;
    unsigned long inode = 0;
    bool listening = true;
    // AF_INET or AF_INET6, and the local address in network order (IPv4's in the first 4 bytes).
    int family = 0;
    std::array<unsigned char, 16> address{};
};

// Every socket that holds TCP `port`, IPv4 and IPv6: the listeners and, asked over netlink of a
// kernel that lists them (Linux 6.5 on), the sockets bound without listening. /proc lists only
// the listeners, so that a bound socket is then not found. None when neither can be read.
std::optional<std::vector<PortSocket>> tcpSocketsOn(int port,
                                                    SocketTableSource source = SocketTableSource::socketDiagnostics);

// A process of this user that holds a socket, named by its program file.
struct SocketProcess {
    long long pid = 0;
    QString program;
};

// A process of this user that holds socket `inode`, this one included; none when no process
// that can be looked into holds it (another user's, or one of another pid namespace).
std::optional<SocketProcess> processHolding(unsigned long inode);

// Whose program holds a port that a service needs, as far as the kernel's table tells.
struct PortHolder {
    enum class Kind { anotherUser, thisUser, unknown };
    Kind kind = Kind::unknown;
    // thisUser: which of the user's processes.
    SocketProcess process;
};

// A launched program and the processes that count as its own: the child, every process it
// started (by their parent links, or by the process group the child leads, which a process that
// forked itself away keeps), and with `winePrefix` the Wine server of that prefix, which Wine
// starts and which then leaves the tree.
struct ProcessTree {
    long long root = 0;
    QString winePrefix;
};

// Whether a process of `tree` holds one of the sockets `inodes`. Only this user's processes can
// be looked into; a process that ends meanwhile is passed over.
bool processTreeHolds(const ProcessTree &tree, const std::vector<unsigned long> &inodes);

} // namespace cordavelle
