#include "port_probe.h"

#include "async/event.h"
#include "platform/clock.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpSocket>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <netinet/in.h>
#include <unistd.h>

namespace cordavelle {

namespace {

constexpr auto kPortProbeInterval = std::chrono::milliseconds(500);

struct DeleteLater {
    void operator()(QObject *object) const { object->deleteLater(); }
};

// One connection attempt to 127.0.0.1:port, without a time-out of its own. The connect is
// non-blocking, so the main thread only waits for its answer.
QCoro::Task<bool> probePort(int port, std::stop_token cancel)
{
    if (port < 0 || port > 65535) {
        co_return false;
    }
    std::unique_ptr<QTcpSocket, DeleteLater> socket(new QTcpSocket);
    socket->setProxy(QNetworkProxy::NoProxy);
    async::Event answered;
    QObject::connect(socket.get(), &QTcpSocket::connected, socket.get(), [answered] { answered.set(); });
    QObject::connect(socket.get(), &QTcpSocket::errorOccurred, socket.get(), [answered] { answered.set(); });
    socket->connectToHost(QHostAddress(QHostAddress::LocalHost), static_cast<quint16>(port));
    co_await answered.wait(cancel);
    const bool open = socket->state() == QAbstractSocket::ConnectedState;
    socket->disconnect();
    socket->abort();
    co_return open;
}

// The inodes of this user's listeners on the port; none when the table can't be read.
std::optional<std::vector<unsigned long>> ownListeners(int port)
{
    const std::optional<std::vector<PortListener>> listeners = tcpListenersOn(port);
    if (!listeners) {
        return std::nullopt;
    }
    static const unsigned self = ::geteuid();
    std::vector<unsigned long> inodes;
    for (const PortListener &listener : *listeners) {
        if (listener.uid == self) {
            inodes.push_back(listener.inode);
        }
    }
    return inodes;
}

// The first socket `counts` accepts whose holder is neither this process nor `launched`.
std::optional<PortHolder> holderAmong(const std::vector<PortSocket> &sockets, const ProcessTree &launched,
                                      const std::function<bool(const PortSocket &)> &counts)
{
    static const unsigned self = ::geteuid();
    for (const PortSocket &socket : sockets) {
        if (!counts(socket)) {
            continue;
        }
        if (socket.uid != self) {
            return PortHolder{PortHolder::Kind::anotherUser, {}};
        }
        const std::optional<SocketProcess> process = processHolding(socket.inode);
        if (!process) {
            // The user's, but held by no process that can be looked into.
            return PortHolder{PortHolder::Kind::unknown, {}};
        }
        if (process->pid == ::getpid() || processTreeHolds(launched, {socket.inode})) {
            continue;
        }
        return PortHolder{PortHolder::Kind::thisUser, *process};
    }
    return std::nullopt;
}

} // namespace

std::optional<PortHolder> otherHolderOf(int port, const ProcessTree &launched)
{
    const std::optional<std::vector<PortSocket>> sockets = tcpSocketsOn(port);
    if (!sockets) {
        return std::nullopt;
    }
    return holderAmong(*sockets, launched, [](const PortSocket &) { return true; });
}

PortHolder holderOfAddress(int port, PortHold::Address address)
{
    const std::optional<std::vector<PortSocket>> sockets = tcpSocketsOn(port);
    if (!sockets) {
        return {};
    }
    const auto counts = [address](const PortSocket &socket) {
        if (socket.family != AF_INET6) {
            return false;
        }
        const auto *bytes = reinterpret_cast<const in6_addr *>(socket.address.data());
        // Every IPv6 address but those of IPv4 peers, which only IPv4 binds meet, takes the
        // wildcard; the wildcard takes every address.
        return IN6_IS_ADDR_UNSPECIFIED(bytes)
               || (address == PortHold::Address::ipv6Loopback ? IN6_IS_ADDR_LOOPBACK(bytes) : !IN6_IS_ADDR_V4MAPPED(bytes));
    };
    return holderAmong(*sockets, {}, counts).value_or(PortHolder{});
}

bool listensOnPort(int port, const ProcessTree &owner)
{
    const std::optional<std::vector<unsigned long>> inodes = ownListeners(port);
    return !inodes || processTreeHolds(owner, *inodes);
}

bool portHeldByAnotherUser(int port)
{
    const std::optional<std::vector<PortListener>> listeners = tcpListenersOn(port);
    if (!listeners) {
        return false;
    }
    const unsigned self = ::geteuid();
    return std::any_of(listeners->begin(), listeners->end(), [self](const PortListener &listener) {
        return listener.uid != self;
    });
}

QCoro::Task<bool> waitForPort(int port, ProcessTree owner, Clock &waitClock, std::chrono::milliseconds timeout,
                              std::stop_token cancel)
{
    const auto deadline = waitClock.now() + timeout;
    while (waitClock.now() < deadline) {
        if (const std::optional<std::vector<unsigned long>> inodes = ownListeners(port)) {
            if (processTreeHolds(owner, *inodes)) {
                co_return true;
            }
        } else {
            const bool answered = co_await probePort(port, cancel);
            if (answered) {
                co_return true;
            }
        }
        if (cancel.stop_requested()) {
            co_return false;
        }
        const bool slept = co_await waitClock.sleep(kPortProbeInterval, cancel);
        if (!slept) {
            co_return false;
        }
    }
    co_return false;
}

} // namespace cordavelle
