#include "socket_wait.h"

#include "async/wakeup.h"
#include "platform/clock.h"

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

// Ends with the goal reached (true), or a failure of the socket or the time-out (false).
struct WaitState final : async::Wakeup {
    QObject context; // receiver of the socket's signals; disconnects them when it goes
    std::stop_source timeout;
    void ended() override
    {
        QObject::disconnect(&context, nullptr, nullptr, nullptr);
        timeout.request_stop();
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
            m_state->finish(true);
        } else if (m_socket->state() == QAbstractSocket::UnconnectedState && m_goal != SocketWaitGoal::Connected) {
            m_state->finish(false);
        }
        return m_state->done();
    }

    void await_suspend(std::coroutine_handle<> handle)
    {
        WaitState *state = m_state.operator->();
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
        QObject::connect(m_socket, &QAbstractSocket::errorOccurred, &state->context, [state] { state->finish(false); });
        QObject::connect(m_socket, &QAbstractSocket::disconnected, &state->context, [state] { state->finish(false); });
        // Resuming inside one of the socket's signals would run the caller where it may not
        // delete the socket; the kit resumes from the event loop.
        state->suspend(handle, {});
        expireAfter(*m_clock, m_timeout, state->timeout.get_token(), m_state.shared());
    }

    bool await_resume() const { return m_state->result(); }

private:
    QAbstractSocket *m_socket;
    SocketWaitGoal m_goal;
    Clock *m_clock;
    std::chrono::milliseconds m_timeout;
    async::WakeupHandle<WaitState> m_state;
};

} // namespace

QCoro::Task<bool> waitForSocket(QAbstractSocket &socket, SocketWaitGoal goal, Clock &clock,
                                std::chrono::milliseconds timeout)
{
    co_return co_await SocketWaitAwaiter(socket, goal, clock, timeout);
}

} // namespace cordavelle
