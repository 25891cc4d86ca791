#include "stream_socket.h"

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

std::optional<Peer> peer(qintptr descriptor)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        return std::nullopt;
    }
    Peer out;
    out.address = QHostAddress(reinterpret_cast<const sockaddr *>(&address));
    if (address.ss_family == AF_INET6) {
        out.port = ntohs(reinterpret_cast<const sockaddr_in6 *>(&address)->sin6_port);
    } else if (address.ss_family == AF_INET) {
        out.port = ntohs(reinterpret_cast<const sockaddr_in *>(&address)->sin_port);
    }
    return out;
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
        const int fd = ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            return {Accepted::Kind::connection, fd};
        }
        switch (errno) {
        case EINTR:
        case ECONNABORTED:
            continue;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return {Accepted::Kind::outOfResources, -1};
        default:
            return {Accepted::Kind::none, -1};
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
