#pragma once

#include "wakeup.h"

#include <QThread>

#include <functional>
#include <optional>
#include <stop_token>

namespace cordavelle::async {

// Runs a blocking `work` on a thread of its own and resumes, from the event loop, with its
// result; or early, with nothing, when `stop` is requested. The work itself cannot be stopped:
// it runs to its end, and its result is then dropped.
template <typename T>
class OffThread {
    struct State final : Wakeup {
        std::optional<T> value;
    };

public:
    OffThread(std::function<T()> work, std::stop_token stop = {})
        : m_work(std::move(work)), m_stop(std::move(stop)), m_state(std::make_shared<State>())
    {
    }

    bool await_ready() { return m_state->readyOrStopped(m_stop); }
    void await_suspend(std::coroutine_handle<> handle)
    {
        auto state = m_state.shared();
        QThread *thread = QThread::create([state, work = std::move(m_work)] { state->value = work(); });
        // The thread object lives on this thread, so this runs here once the work has ended; the
        // object goes only after its thread has.
        QObject::connect(thread, &QThread::finished, thread, [thread, state] {
            thread->deleteLater();
            state->finish(true);
        });
        m_state->suspend(handle, m_stop);
        thread->start();
    }
    std::optional<T> await_resume() const
    {
        return m_state->result() ? m_state->value : std::nullopt;
    }

private:
    std::function<T()> m_work;
    std::stop_token m_stop;
    WakeupHandle<State> m_state;
};

} // namespace cordavelle::async
