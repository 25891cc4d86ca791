#pragma once

#include "wakeup.h"

#include <functional>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>

namespace cordavelle::async {

// Hands a work to a thread; false when no thread could be had, and then the work never runs.
using ThreadStarter = std::function<bool(std::function<void()>)>;

// A thread of its own for each work. A plain thread, not a Qt one: Qt makes each of its threads
// an event loop, whose descriptors it can't do without, and ends the process when it can't have
// them (as when the descriptor limit is reached).
inline bool onNewThread(std::function<void()> work)
{
    try {
        std::thread(std::move(work)).detach();
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

// Runs a blocking `work` on a thread and resumes, from the event loop, with its result; or early,
// with nothing, when `stop` is requested or no thread could be had. The work itself cannot be
// stopped: it runs to its end, and its result is then dropped.
template <typename T>
class OffThread {
    struct State final : Wakeup {
        std::optional<T> value;
    };

public:
    OffThread(std::function<T()> work, std::stop_token stop = {}, ThreadStarter start = onNewThread)
        : m_work(std::move(work)), m_stop(std::move(stop)), m_start(std::move(start)),
          m_state(std::make_shared<State>())
    {
    }

    bool await_ready() { return m_state->readyOrStopped(m_stop); }
    void await_suspend(std::coroutine_handle<> handle)
    {
        m_state->suspend(handle, m_stop);
        // The value is written before the wait's end is posted and read only after it, on this
        // thread, which also lets the state go last.
        std::function<void()> job = [state = m_state.shared(), work = std::move(m_work)]() mutable {
            state->value = work();
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [state = std::move(state)] { state->finish(true); },
                Qt::QueuedConnection);
        };
        if (!m_start(std::move(job))) {
            m_state->finish(false);
        }
    }
    std::optional<T> await_resume() const
    {
        return m_state->result() ? m_state->value : std::nullopt;
    }

private:
    std::function<T()> m_work;
    std::stop_token m_stop;
    ThreadStarter m_start;
    WakeupHandle<State> m_state;
};

} // namespace cordavelle::async
