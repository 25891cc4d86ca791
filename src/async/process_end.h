#pragma once

#include "wakeup.h"

#include <QProcess>

#include <stop_token>

namespace cordavelle::async {

// Resumes once `process` has finished or failed to start (true), or early when `stop` is
// requested (false). Build it before starting the process, so that an end reported from inside
// start() is not missed.
class ProcessEnd {
    struct State final : Wakeup {
        QObject context; // receiver of the process's signals; disconnects them when it goes
        void ended() override { QObject::disconnect(&context, nullptr, nullptr, nullptr); }
    };

public:
    explicit ProcessEnd(QProcess &process, std::stop_token stop = {})
        : m_stop(std::move(stop)), m_state(std::make_shared<State>())
    {
        State *state = m_state.operator->();
        QObject::connect(&process, &QProcess::finished, &state->context, [state] { state->finish(true); });
        QObject::connect(&process, &QProcess::errorOccurred, &state->context, [state](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart) {
                state->finish(true);
            }
        });
    }

    bool await_ready() { return m_state->readyOrStopped(m_stop); }
    void await_suspend(std::coroutine_handle<> handle) { m_state->suspend(handle, m_stop); }
    bool await_resume() const { return m_state->result(); }

private:
    std::stop_token m_stop;
    WakeupHandle<State> m_state;
};

} // namespace cordavelle::async
