#pragma once

#include "wakeup.h"

#include <memory>
#include <stop_token>
#include <vector>

namespace cordavelle::async {

// A one-shot event that coroutines await: `co_await event.wait(stop)` resumes, from the event
// loop, once set() has been called (true) or a stop was requested (false). Copies share the
// event, so a copy can be captured by the signal handlers that set it.
class Event {
    struct State {
        bool isSet = false;
        std::vector<std::weak_ptr<Wakeup>> waiters;
    };

public:
    class Wait {
    public:
        Wait(std::shared_ptr<State> event, std::stop_token stop)
            : m_event(std::move(event)), m_stop(std::move(stop)), m_wakeup(std::make_shared<Wakeup>())
        {
        }

        bool await_ready()
        {
            if (m_event->isSet) {
                m_wakeup->finish(true);
            }
            return m_wakeup->readyOrStopped(m_stop);
        }
        void await_suspend(std::coroutine_handle<> handle)
        {
            m_event->waiters.push_back(m_wakeup.shared());
            m_wakeup->suspend(handle, m_stop);
        }
        bool await_resume() const { return m_wakeup->result(); }

    private:
        std::shared_ptr<State> m_event;
        std::stop_token m_stop;
        WakeupHandle<Wakeup> m_wakeup;
    };

    bool isSet() const { return m_state->isSet; }

    // Wakes every waiter; they resume later, from the event loop.
    void set() const
    {
        if (m_state->isSet) {
            return;
        }
        m_state->isSet = true;
        for (const auto &weak : std::exchange(m_state->waiters, {})) {
            if (auto waiter = weak.lock()) {
                waiter->finish(true);
            }
        }
    }

    Wait wait(std::stop_token stop = {}) const { return Wait(m_state, std::move(stop)); }
    Wait operator co_await() const { return wait(); }

private:
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

} // namespace cordavelle::async
