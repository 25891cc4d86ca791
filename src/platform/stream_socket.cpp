#include "stream_socket.h"

#include <QNetworkInterface>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cordavelle::stream_socket {

namespace {

Transfer outcome(ssize_t result, bool isReceive)
{
    Transfer transfer;
    if (result > 0) {
        transfer.kind = Transfer::Kind::moved;
        transfer.bytes = result;
    } else if (result == 0 && isReceive) {
        transfer.kind = Transfer::Kind::peerFinished;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        transfer.kind = Transfer::Kind::wouldBlock;
    } else {
        transfer.kind = Transfer::Kind::failed;
        transfer.error = QString::fromLocal8Bit(std::strerror(errno));
    }
    return transfer;
}

} // namespace

std::optional<sockaddr_storage> peerAddress(qintptr descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        return std::nullopt;
    }
    return address;
}

quint16 port(const sockaddr_storage &address)
{
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    }
    return 0;
}

QString hostText(const sockaddr_storage &address)
{
    // Nearly every client is a program of this computer: its host text is a constant.
    static const quint32 loopbackV4 = htonl(INADDR_LOOPBACK);
    if (address.ss_family == AF_INET) {
        if (reinterpret_cast<const sockaddr_in &>(address).sin_addr.s_addr == loopbackV4) {
            return QStringLiteral("127.0.0.1");
        }
    } else if (address.ss_family == AF_INET6) {
        const auto &v6 = reinterpret_cast<const sockaddr_in6 &>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            quint32 v4 = 0;
            std::memcpy(&v4, v6.sin6_addr.s6_addr + 12, 4);
            if (v4 == loopbackV4) {
                return QStringLiteral("127.0.0.1");
            }
        }
        if (IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr) && v6.sin6_scope_id == 0) {
            return QStringLiteral("::1");
        }
    }
    QHostAddress host(reinterpret_cast<const sockaddr *>(&address));
    if (address.ss_family == AF_INET6) {
        // A link-local address means nothing without its interface, and Qt leaves it out here.
        if (const quint32 scope = reinterpret_cast<const sockaddr_in6 &>(address).sin6_scope_id; scope != 0) {
            const QString name = QNetworkInterface::interfaceNameFromIndex(static_cast<int>(scope));
            host.setScopeId(name.isEmpty() ? QString::number(scope) : name);
        }
    }
    return hostText(host);
}

QString hostText(const QHostAddress &address)
{
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).toString() : address.toString();
}

Transfer receive(qintptr descriptor, char *into, qint64 capacity)
{
    ssize_t result;
    do {
        result = ::recv(static_cast<int>(descriptor), into, static_cast<size_t>(capacity), MSG_DONTWAIT);
    } while (result < 0 && errno == EINTR);
    return outcome(result, true);
}

Transfer send(qintptr descriptor, const char *bytes, qint64 length, bool lastBytes)
{
    const int flags = MSG_DONTWAIT | MSG_NOSIGNAL | (lastBytes ? MSG_MORE : 0);
    ssize_t result;
    do {
        result = ::send(static_cast<int>(descriptor), bytes, static_cast<size_t>(length), flags);
    } while (result < 0 && errno == EINTR);
    return outcome(result, false);
}

void endSending(qintptr descriptor) { ::shutdown(static_cast<int>(descriptor), SHUT_WR); }

void close(qintptr descriptor) { ::close(static_cast<int>(descriptor)); }

Accepted accept(qintptr listener)
{
    for (;;) {
        // The peer's address comes with the connection, which saves asking for it.
        Accepted accepted;
        socklen_t length = sizeof accepted.peer;
        const int fd = ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr *>(&accepted.peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            accepted.kind = Accepted::Kind::connection;
            accepted.descriptor = fd;
            return accepted;
        }
        switch (errno) {
        case EINTR:
        case ECONNABORTED:
            continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return {Accepted::Kind::outOfResources, -1, {}};
        default:
            return {Accepted::Kind::none, -1, {}};
        }
    }
}

qint64 raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return -1;
    }
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? -1 : static_cast<qint64>(limit.rlim_cur);
}

} // namespace cordavelle::stream_socket
