#include "stream_socket.h"

#include <netinet/in.h>
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

Transfer send(qintptr descriptor, const char *bytes, qint64 length)
{
    ssize_t result;
    do {
        result = ::send(static_cast<int>(descriptor), bytes, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (result < 0 && errno == EINTR);
    return outcome(result, false);
}

void close(qintptr descriptor) { ::close(static_cast<int>(descriptor)); }

} // namespace cordavelle::stream_socket
