#pragma once

#include "wakeup.h"

#include <QNetworkReply>

#include <stop_token>

namespace cordavelle::async {

// Resumes once `reply` has finished (true), or early when `stop` is requested (false). Like every
// wait of this folder it resumes from the event loop, so the continuation may delete the reply.
class ReplyEnd {
    struct State final : Wakeup {
        QObject context; // receiver of the reply's signal; disconnects it when it goes
        void ended() override { QObject::disconnect(&context, nullptr, nullptr, nullptr); }
    };

public:
    explicit ReplyEnd(QNetworkReply &reply, std::stop_token stop = {})
        : m_stop(std::move(stop)), m_state(std::make_shared<State>())
    {
        State *state = m_state.operator->();
        if (reply.isFinished()) {
            state->finish(true);
        } else {
            QObject::connect(&reply, &QNetworkReply::finished, &state->context, [state] { state->finish(true); });
        }
    }

    bool await_ready() { return m_state->readyOrStopped(m_stop); }
    void await_suspend(std::coroutine_handle<> handle) { m_state->suspend(handle, m_stop); }
    bool await_resume() const { return m_state->result(); }

private:
    std::stop_token m_stop;
    WakeupHandle<State> m_state;
};

} // namespace cordavelle::async
