#pragma once

#include "wakeup.h"

#include <QTimer>

#include <chrono>
#include <stop_token>

namespace cordavelle::async {

// Resumes after `duration` on a precise timer of the current thread's event loop (true), or
// early when `stop` is requested (false).
class TimerWait {
    struct State final : Wakeup {
        QTimer timer;
        void ended() override { timer.stop(); }
    };

public:
    TimerWait(std::chrono::milliseconds duration, std::stop_token stop)
        : m_duration(duration), m_stop(std::move(stop)), m_state(std::make_shared<State>())
    {
    }

    bool await_ready() { return m_state->readyOrStopped(m_stop); }
    void await_suspend(std::coroutine_handle<> handle)
    {
        State *state = m_state.operator->();
        state->timer.setSingleShot(true);
        state->timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&state->timer, &QTimer::timeout, &state->timer, [state] { state->finish(true); });
        state->timer.start(m_duration);
        state->suspend(handle, m_stop);
    }
    bool await_resume() const { return m_state->result(); }

private:
    std::chrono::milliseconds m_duration;
    std::stop_token m_stop;
    WakeupHandle<State> m_state;
};

} // namespace cordavelle::async
