#include "port_probe.h"

#include "async/event.h"
#include "platform/clock.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QTcpSocket>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

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

} // namespace

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
