#include "port_listeners.h"

#include "socket_diagnostics.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <map>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

constexpr unsigned kListenState = 0x0A;

// One process as /proc/<pid>/stat tells it.
struct ProcessEntry {
    long long pid = 0;
    long long parent = 0;
    long long group = 0;
    QByteArray name;
};

// A small /proc file whole, or nothing when it can't be read (the process has ended, or is
// another user's).
std::optional<QByteArray> readSmallFile(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    QByteArray bytes;
    char buffer[4096];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

// "pid (name) state parent group …": the name may hold spaces and parentheses, so the fields are
// read after its last ')'.
std::optional<ProcessEntry> readStat(long long pid)
{
    const std::optional<QByteArray> stat = readSmallFile("/proc/" + QByteArray::number(pid) + "/stat");
    if (!stat) {
        return std::nullopt;
    }
    const qsizetype open = stat->indexOf('(');
    const qsizetype close = stat->lastIndexOf(')');
    if (open < 0 || close < open) {
        return std::nullopt;
    }
    const QList<QByteArray> fields = stat->mid(close + 1).simplified().split(' ');
    if (fields.size() < 3) {
        return std::nullopt;
    }
    ProcessEntry entry;
    entry.pid = pid;
    entry.name = stat->mid(open + 1, close - open - 1);
    bool parentRead = false;
    bool groupRead = false;
    entry.parent = fields[1].toLongLong(&parentRead);
    entry.group = fields[2].toLongLong(&groupRead);
    if (!parentRead || !groupRead) {
        return std::nullopt;
    }
    return entry;
}

// This user's processes: only theirs can hold a socket of this user that can be looked into.
// Another user's are passed over before their status is read, which costs most.
std::vector<ProcessEntry> ownProcesses()
{
    std::vector<ProcessEntry> processes;
    DIR *proc = ::opendir("/proc");
    if (!proc) {
        return processes;
    }
    const uid_t self = ::geteuid();
    while (const dirent *entry = ::readdir(proc)) {
        char *end = nullptr;
        const long long pid = std::strtoll(entry->d_name, &end, 10);
        struct stat status {};
        if (pid <= 0 || *end != '\0' || ::fstatat(::dirfd(proc), entry->d_name, &status, 0) != 0
            || status.st_uid != self) {
            continue;
        }
        if (auto process = readStat(pid)) {
            processes.push_back(std::move(*process));
        }
    }
    ::closedir(proc);
    return processes;
}

bool isWineServerOf(const ProcessEntry &process, const QString &prefix)
{
    if (!process.name.startsWith("wineserver")) {
        return false;
    }
    const std::optional<QByteArray> environment = readSmallFile("/proc/" + QByteArray::number(process.pid) + "/environ");
    if (!environment) {
        return false;
    }
    for (const QByteArray &entry : environment->split('\0')) {
        if (entry.startsWith("WINEPREFIX=")) {
            // Wine knows a prefix by the folder itself (its server's socket is named by the
            // folder's device and inode), so the same folder named through a link counts, and a
            // name that only reads like ours as cleaned text ("link/..") does not. Wine takes no
            // relative prefix.
            const QByteArray servers = entry.mid(11);
            struct stat theirs {};
            struct stat ours {};
            return servers.startsWith('/') && ::stat(servers.constData(), &theirs) == 0
                   && ::stat(QFile::encodeName(prefix).constData(), &ours) == 0 && theirs.st_dev == ours.st_dev
                   && theirs.st_ino == ours.st_ino;
        }
    }
    return false;
}

bool holdsAny(long long pid, const std::set<unsigned long> &inodes)
{
    const QByteArray folder = "/proc/" + QByteArray::number(pid) + "/fd";
    DIR *fds = ::opendir(folder.constData());
    if (!fds) {
        return false;
    }
    bool found = false;
    char target[64];
    while (const dirent *entry = ::readdir(fds)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const ssize_t length = ::readlinkat(::dirfd(fds), entry->d_name, target, sizeof target - 1);
        if (length <= 8) {
            continue;
        }
        target[length] = '\0';
        unsigned long inode = 0;
        if (std::sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.contains(inode)) {
            found = true;
            break;
        }
    }
    ::closedir(fds);
    return found;
}

// The kernel's state of a socket bound to a port that neither listens nor connects; it lists
// such sockets only when asked for this state.
constexpr unsigned kBoundInactive = 13;

// One dump of the TCP sockets of `family` in `states`, those on `port` added to `sockets`. False
// when the kernel could not be asked or its answer not read.
bool dumpSockets(int netlink, int family, int port, std::uint32_t states, unsigned sequence,
                 std::vector<PortSocket> &sockets)
{
    // The kernel walks only its tables of listeners and of bound sockets: a few entries, whatever
    // else is connected.
    const SocketDiagnosticsQuery query = tcpDiagnosticsQuery(family, states, NLM_F_DUMP, sequence);
    if (!sendToKernel(netlink, query)) {
        return false;
    }
    alignas(nlmsghdr) std::array<char, 16384> buffer{};
    while (true) {
        // A dump's parts are made as they are read: the next one is always ready.
        const ssize_t received = ::recv(netlink, buffer.data(), buffer.size(), 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (received == 0) {
            return false;
        }
        auto length = static_cast<unsigned>(received);
        for (auto *message = reinterpret_cast<nlmsghdr *>(buffer.data()); NLMSG_OK(message, length);
             message = NLMSG_NEXT(message, length)) {
            if (message->nlmsg_seq != sequence) {
                continue;
            }
            if (message->nlmsg_type == NLMSG_DONE) {
                return true;
            }
            if (message->nlmsg_type != SOCK_DIAG_BY_FAMILY) {
                return false; // NLMSG_ERROR, or an answer of another kind
            }
            const auto *found = static_cast<const inet_diag_msg *>(NLMSG_DATA(message));
            // A bound socket comes as closed, or as bound and inactive.
            const bool bound = found->idiag_state == TCP_CLOSE || found->idiag_state == kBoundInactive;
            if (ntohs(found->id.idiag_sport) != port
                || !(found->idiag_state == TCP_LISTEN ? states & (1U << TCP_LISTEN) : bound && states & (1U << kBoundInactive))) {
                continue;
            }
            PortSocket socket{found->idiag_uid, found->idiag_inode, found->idiag_state == TCP_LISTEN, family, {}};
            static_assert(sizeof found->id.idiag_src == sizeof socket.address);
            std::memcpy(socket.address.data(), found->id.idiag_src, sizeof socket.address);
            sockets.push_back(socket);
        }
    }
}

std::optional<std::vector<PortSocket>> askSocketDiagnostics(int port, std::uint32_t states)
{
    const int netlink = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (netlink < 0) {
        return std::nullopt;
    }
    std::vector<PortSocket> sockets;
    const bool read = dumpSockets(netlink, AF_INET, port, states, 1, sockets)
                      && dumpSockets(netlink, AF_INET6, port, states, 2, sockets);
    ::close(netlink);
    if (!read) {
        return std::nullopt;
    }
    return sockets;
}

// The listeners on `port` that /proc/net/tcp and /proc/net/tcp6 list; none when neither can be
// read.
std::optional<std::vector<PortSocket>> procListeners(int port)
{
    // The local address field ends in ":<port>", four upper-case hex digits.
    const QByteArray portText = ':' + QByteArray::number(port, 16).rightJustified(4, '0').toUpper();
    std::vector<PortSocket> sockets;
    bool readAny = false;
    for (const int family : {AF_INET, AF_INET6}) {
        const std::optional<QByteArray> table = readSmallFile(family == AF_INET ? "/proc/net/tcp" : "/proc/net/tcp6");
        if (!table) {
            continue;
        }
        readAny = true;
        const QList<QByteArray> lines = table->split('\n');
        for (qsizetype i = 1; i < lines.size(); ++i) { // the first line names the columns
            // sl local rem st tx:rx tr:when retrnsmt uid timeout inode
            const QList<QByteArray> fields = lines[i].simplified().split(' ');
            if (fields.size() < 10 || !fields[1].endsWith(portText)) {
                continue;
            }
            bool stateRead = false;
            bool uidRead = false;
            bool inodeRead = false;
            const unsigned state = fields[3].toUInt(&stateRead, 16);
            PortSocket socket{fields[7].toUInt(&uidRead), fields[9].toULong(&inodeRead), true, family, {}};
            if (!stateRead || !uidRead || !inodeRead || state != kListenState) {
                continue;
            }
            // The address is the kernel's words in memory order, each printed as a number of
            // this machine's byte order.
            const QByteArray address = fields[1].left(fields[1].size() - portText.size());
            for (qsizetype word = 0; word * 8 < address.size() && word < 4; ++word) {
                const std::uint32_t value = address.mid(word * 8, 8).toUInt(nullptr, 16);
                std::memcpy(socket.address.data() + word * 4, &value, sizeof value);
            }
            sockets.push_back(socket);
        }
    }
    if (!readAny) {
        return std::nullopt;
    }
    return sockets;
}

QString programOf(const ProcessEntry &process)
{
    char target[PATH_MAX];
    const QByteArray link = "/proc/" + QByteArray::number(process.pid) + "/exe";
    const ssize_t length = ::readlink(link.constData(), target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) {
        return QString::fromUtf8(process.name); // a kernel thread, or a process that just ended
    }
    QString path = QFile::decodeName(QByteArray(target, length));
    // A program file replaced since the process began (an upgrade) still names the process.
    const QLatin1String deleted(" (deleted)");
    if (path.endsWith(deleted)) {
        path.chop(deleted.size());
    }
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

} // namespace

std::optional<std::vector<PortSocket>> tcpSocketsOn(int port, SocketTableSource source)
{
    if (port < 1 || port > 65535) {
        return std::vector<PortSocket>();
    }
    if (source == SocketTableSource::socketDiagnostics) {
        if (auto sockets = askSocketDiagnostics(port, (1U << TCP_LISTEN) | (1U << kBoundInactive))) {
            return sockets;
        }
    }
    return procListeners(port);
}

std::optional<std::vector<PortListener>> tcpListenersOn(int port, SocketTableSource source)
{
    if (port < 1 || port > 65535) {
        return std::vector<PortListener>();
    }
    std::optional<std::vector<PortSocket>> sockets;
    if (source == SocketTableSource::socketDiagnostics) {
        sockets = askSocketDiagnostics(port, 1U << TCP_LISTEN);
    }
    if (!sockets) {
        sockets = procListeners(port);
    }
    if (!sockets) {
        return std::nullopt;
    }
    std::vector<PortListener> listeners;
    for (const PortSocket &socket : *sockets) {
        listeners.push_back({socket.uid, socket.inode});
    }
    return listeners;
}

std::optional<SocketProcess> processHolding(unsigned long inode)
{
    const std::set<unsigned long> wanted{inode};
    for (const ProcessEntry &process : ownProcesses()) {
        if (holdsAny(process.pid, wanted)) {
            return SocketProcess{process.pid, programOf(process)};
        }
    }
    return std::nullopt;
}

bool processTreeHolds(const ProcessTree &tree, const std::vector<unsigned long> &inodes)
{
    const bool hasRoot = tree.root > 0;
    if ((!hasRoot && tree.winePrefix.isEmpty()) || inodes.empty()) {
        return false;
    }
    const std::set<unsigned long> wanted(inodes.begin(), inodes.end());
    // Most often the child itself listens: no need to read every process.
    if (hasRoot && holdsAny(tree.root, wanted)) {
        return true;
    }
    const std::vector<ProcessEntry> processes = ownProcesses();
    std::multimap<long long, long long> children;
    // The root first, already looked into; without one (a launcher that handed over and ended) a
    // stand-in that no process has.
    std::vector<long long> members{hasRoot ? tree.root : 0};
    for (const ProcessEntry &process : processes) {
        children.emplace(process.parent, process.pid);
        if (process.pid != tree.root
            && ((hasRoot && process.group == tree.root)
                || (!tree.winePrefix.isEmpty() && isWineServerOf(process, tree.winePrefix)))) {
            members.push_back(process.pid);
        }
    }
    std::set<long long> seen(members.begin(), members.end());
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (members[i] <= 0) {
            continue; // pid 0's children are every process's ancestors
        }
        const auto [begin, end] = children.equal_range(members[i]);
        for (auto it = begin; it != end; ++it) {
            if (seen.insert(it->second).second) {
                members.push_back(it->second);
            }
        }
    }
    return std::any_of(members.begin() + 1, members.end(), [&](long long pid) { return holdsAny(pid, wanted); });
}

} // namespace cordavelle
