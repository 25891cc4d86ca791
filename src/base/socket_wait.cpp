#include "socket_wait.h"

#include "platform/clock.h"

#include <QCoreApplication>

#include <coroutine>
#include <memory>
#include <stop_token>

namespace cordavelle {

namespace {

bool goalReached(const QAbstractSocket &socket, SocketWaitGoal goal)
{
    switch (goal) {
    case SocketWaitGoal::Connected: return socket.state() == QAbstractSocket::ConnectedState;
    case SocketWaitGoal::BytesWritten: return socket.bytesToWrite() == 0;
    case SocketWaitGoal::ReadyRead: return socket.bytesAvailable() > 0;
    }
    return false;
}

struct WaitState {
    QObject context; // receiver of the socket's signals
    QAbstractSocket *socket = nullptr;
    std::coroutine_handle<> handle;
    std::stop_source timeoutStop;
    bool done = false;
    bool reached = false;

    void finish(bool goal)
    {
        if (done) {
            return;
        }
        done = true;
        reached = goal;
        QObject::disconnect(socket, nullptr, &context, nullptr);
        timeoutStop.request_stop();
        // Resuming here would run the caller inside the socket's signal, where it may not
        // delete the socket; the application object outlives every waiter.
        const auto h = handle;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [h] { h.resume(); }, Qt::QueuedConnection);
    }
};

QCoro::Task<void> expireAfter(Clock &clock, std::chrono::milliseconds timeout, std::stop_token stop,
                              std::weak_ptr<WaitState> weak)
{
    const bool elapsed = co_await clock.sleep(timeout, stop);
    if (auto state = weak.lock(); state && elapsed) {
        state->finish(false);
    }
}

class SocketWaitAwaiter {
public:
    SocketWaitAwaiter(QAbstractSocket &socket, SocketWaitGoal goal, Clock &clock, std::chrono::milliseconds timeout)
        : m_socket(&socket), m_goal(goal), m_clock(&clock), m_timeout(timeout), m_state(std::make_shared<WaitState>())
    {
    }

    bool await_ready()
    {
        if (goalReached(*m_socket, m_goal)) {
            m_state->reached = true;
            return true;
        }
        return m_socket->state() == QAbstractSocket::UnconnectedState && m_goal != SocketWaitGoal::Connected;
    }

    void await_suspend(std::coroutine_handle<> handle)
    {
        WaitState *state = m_state.get();
        state->handle = handle;
        state->socket = m_socket;
        auto check = [state, socket = m_socket, goal = m_goal] {
            if (goalReached(*socket, goal)) {
                state->finish(true);
            }
        };
        switch (m_goal) {
        case SocketWaitGoal::Connected:
            QObject::connect(m_socket, &QAbstractSocket::connected, &state->context, check);
            break;
        case SocketWaitGoal::BytesWritten:
            QObject::connect(m_socket, &QAbstractSocket::bytesWritten, &state->context, check);
            break;
        case SocketWaitGoal::ReadyRead:
            QObject::connect(m_socket, &QAbstractSocket::readyRead, &state->context, check);
            break;
        }
        QObject::connect(m_socket, &QAbstractSocket::errorOccurred, &state->context,
                         [state] { state->finish(false); });
        QObject::connect(m_socket, &QAbstractSocket::disconnected, &state->context,
                         [state] { state->finish(false); });
        expireAfter(*m_clock, m_timeout, state->timeoutStop.get_token(), m_state);
    }

    bool await_resume() const { return m_state->reached; }

private:
    QAbstractSocket *m_socket;
    SocketWaitGoal m_goal;
    Clock *m_clock;
    std::chrono::milliseconds m_timeout;
    std::shared_ptr<WaitState> m_state;
};

} // namespace

QCoro::Task<bool> waitForSocket(QAbstractSocket &socket, SocketWaitGoal goal, Clock &clock,
                                std::chrono::milliseconds timeout)
{
    co_return co_await SocketWaitAwaiter(socket, goal, clock, timeout);
}

} // namespace cordavelle
