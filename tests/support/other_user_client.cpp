#include "other_user_client.h"

#include "child_processes.h"
#include "event_wait.h"
#include "local_ports.h"
#include "needs_root.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace cordavelle::test {

bool OtherUserClient::canStart() { return runsAsRoot(); }

OtherUserClient::OtherUserClient(const QHostAddress &host, quint16 port, const QByteArray &request, uid_t user)
{
    if (!canStart()) {
        return;
    }
    const SocketAddress address = socketAddress(host, port);
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return;
    }
    const QByteArray bytes = request;
    m_pid = ::fork();
    if (m_pid == 0) {
        // Only calls that are safe in the child of a threaded process.
        ::close(pipe[0]);
        long total = -1;
        if (::setgroups(0, nullptr) == 0 && ::setresgid(user, user, user) == 0
            && ::setresuid(user, user, user) == 0) {
            const int fd = ::socket(address.storage.ss_family, SOCK_STREAM, 0);
            if (fd >= 0 && ::connect(fd, address.get(), address.length) == 0) {
                ::send(fd, bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
                total = 0;
                char chunk[4096];
                ssize_t n = 0;
                while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) {
                    total += n;
                }
            }
        }
        [[maybe_unused]] const ssize_t written = ::write(pipe[1], &total, sizeof total);
        ::_exit(0);
    }
    ::close(pipe[1]);
    m_result = pipe[0];
}

OtherUserClient::~OtherUserClient()
{
    if (signalChild(m_pid, SIGKILL)) {
        ::waitpid(m_pid, nullptr, 0);
    }
    if (m_result >= 0) {
        ::close(m_result);
    }
}

std::optional<long> OtherUserClient::bytesReceived(const std::function<void()> &pump)
{
    if (m_pid <= 0) {
        return std::nullopt;
    }
    QElapsedTimer timer;
    timer.start();
    while (::waitpid(m_pid, nullptr, WNOHANG) != m_pid) {
        if (timer.elapsed() > 30000) {
            ADD_FAILURE() << "the other user's client (pid " << m_pid << ") did not finish within 30 s";
            return std::nullopt;
        }
        pump();
    }
    return result();
}

std::optional<long> OtherUserClient::bytesReceived()
{
    if (m_pid <= 0) {
        return std::nullopt;
    }
    if (!processEventsUntil([this] { return ::waitpid(m_pid, nullptr, WNOHANG) == m_pid; }, std::chrono::seconds(30))) {
        ADD_FAILURE() << "the other user's client (pid " << m_pid << ") did not finish within 30 s";
        return std::nullopt;
    }
    return result();
}

OtherUserListener::OtherUserListener(quint16 port, const QHostAddress &host, bool listen, uid_t owner)
{
    start(socketAddress(host, port), listen, owner);
}

OtherUserListener::OtherUserListener(const QString &path, bool listen)
{
    SocketAddress address;
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    if (encoded.size() >= qsizetype(sizeof local.sun_path)) {
        return;
    }
    std::memcpy(local.sun_path, encoded.constData(), size_t(encoded.size()));
    std::memcpy(&address.storage, &local, sizeof local);
    address.length = socklen_t(offsetof(sockaddr_un, sun_path) + size_t(encoded.size()) + 1);
    start(address, listen, kOtherUid);
}

void OtherUserListener::start(const SocketAddress &address, bool listen, uid_t owner)
{
    const bool drop = owner != ::geteuid();
    if (drop && !OtherUserClient::canStart()) {
        return;
    }
    const bool ipv6 = address.storage.ss_family == AF_INET6;
    const bool local = address.storage.ss_family == AF_UNIX;
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return;
    }
    m_pid = ::fork();
    if (m_pid == 0) {
        // Only calls that are safe in the child of a threaded process.
        ::close(pipe[0]);
        // What the test holds (the ports it handed out among them) is not the listener's: kept
        // here, a look for the process that holds such a socket could name this child.
        ::close_range(3, unsigned(pipe[1]) - 1, 0);
        ::close_range(unsigned(pipe[1]) + 1, ~0U, 0);
        if (local) {
            // Anyone may connect, as to a program that wants to be found.
            ::umask(0);
        }
        char ready = 0;
        int fd = -1;
        const int on = 1;
        if ((!drop
             || (::setgroups(0, nullptr) == 0 && ::setresgid(owner, owner, owner) == 0
                 && ::setresuid(owner, owner, owner) == 0))
            && (fd = ::socket(address.storage.ss_family, SOCK_STREAM, 0)) >= 0
            && (local || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0)
            && (!ipv6 || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == 0)
            && ::bind(fd, address.get(), address.length) == 0 && (!listen || ::listen(fd, 16) == 0)) {
            ready = 1;
        }
        [[maybe_unused]] const ssize_t written = ::write(pipe[1], &ready, 1);
        ::close(pipe[1]);
        while (ready && !listen) {
            ::pause();
        }
        while (ready) {
            const int client = ::accept(fd, nullptr, nullptr);
            if (client >= 0) {
                ::close(client);
            }
        }
        ::_exit(0);
    }
    ::close(pipe[1]);
    char ready = 0;
    m_listening = m_pid > 0 && ::read(pipe[0], &ready, 1) == 1 && ready == 1;
    ::close(pipe[0]);
}

OtherUserListener::~OtherUserListener()
{
    if (signalChild(m_pid, SIGKILL)) {
        ::waitpid(m_pid, nullptr, 0);
    }
}

std::optional<long> OtherUserClient::result()
{
    m_pid = -1;
    long total = -1;
    if (::read(m_result, &total, sizeof total) != static_cast<ssize_t>(sizeof total) || total < 0) {
        return std::nullopt;
    }
    return total;
}

} // namespace cordavelle::test
