#pragma once

#include "wakeup.h"

#include <QObject>

#include <coroutine>
#include <stop_token>

namespace cordavelle::async {

// What a wait that ends on signals of an object is made of: the awaitable's side, and a receiver
// for the connections that end it, which go as soon as the wait has ended. A wait derives from it
// and connects the signals that end it to receiver() in its constructor. It resumes with the
// result given to finish(), or early when `stop` is requested (false).
class SignalWait {
    struct State final : Wakeup {
        QObject context;
        void ended() override { QObject::disconnect(&context, nullptr, nullptr, nullptr); }
    };

public:
    bool await_ready() { return m_state->readyOrStopped(m_stop); }
    void await_suspend(std::coroutine_handle<> handle) { m_state->suspend(handle, m_stop); }
    bool await_resume() const { return m_state->result(); }

protected:
    explicit SignalWait(std::stop_token stop) : m_stop(std::move(stop)), m_state(std::make_shared<State>()) {}

    // Both stay where they are when the awaitable is moved.
    Wakeup *wakeup() const { return m_state.operator->(); }
    QObject *receiver() const { return &m_state->context; }

private:
    std::stop_token m_stop;
    WakeupHandle<State> m_state;
};

} // namespace cordavelle::async
