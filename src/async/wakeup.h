#pragma once

// One rule for every coroutine of the helper and its tests, read before writing one:
//
// A lambda coroutine must outlive its coroutine. Its captures live in the closure object, not in
// the coroutine's frame, and a suspended coroutine reads them through a pointer to the closure.
// `auto task = [&]() -> QCoro::Task<void> { co_await ...; }();` lets the closure die at the end
// of that statement, and the coroutine reads freed memory when it resumes (a Debug build often
// survives it, an optimised one does not). Name the closure where it outlives the task
// (`auto body = [&]() -> QCoro::Task<void> { ... }; auto task = body();`), keep it in the object
// that owns the task, or write a coroutine function that takes its state as parameters (they are
// copied into the frame). `[this]` in a member is fine while the object outlives the task; `[&]`
// on locals is not, unless the caller awaits the task before its frame ends. A stored
// std::function holding a lambda coroutine must stay alive until every coroutine it started has
// ended: copy it into the awaiting frame first. scripts/check-coroutine-lambdas (a CTest test)
// names a capturing lambda coroutine called where it is written.

#include <QCoreApplication>
#include <QMetaObject>

#include <coroutine>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

namespace cordavelle::async {

// What every awaitable of this folder keeps behind a pointer, so that the awaitable itself may
// be moved while its coroutine is suspended: who waits, and whether and how the wait ended.
//
// The waiter always resumes from the event loop, never inside finish(): finish() is called from
// signal handlers and stop callbacks, and the resumed coroutine may destroy the very object whose
// signal is being emitted. A stop request on the token given to suspend() ends the wait with
// false. Main thread only.
class Wakeup : public std::enable_shared_from_this<Wakeup> {
public:
    Wakeup() = default;
    Wakeup(const Wakeup &) = delete;
    Wakeup &operator=(const Wakeup &) = delete;
    virtual ~Wakeup() = default;

    bool done() const { return m_done; }
    bool result() const { return m_result; }

    // Ends the wait at once, without suspending, when the token is already stopped.
    bool readyOrStopped(const std::stop_token &stop)
    {
        if (!m_done && stop.stop_requested()) {
            m_done = true;
            m_result = false;
        }
        return m_done;
    }

    void suspend(std::coroutine_handle<> handle, const std::stop_token &stop)
    {
        m_handle = handle;
        if (stop.stop_possible()) {
            m_onStop.emplace(stop, Stopper{weak_from_this()});
        }
    }

    // Ends the wait with `result`; later calls change nothing.
    void finish(bool result)
    {
        if (m_done) {
            return;
        }
        m_done = true;
        m_result = result;
        ended();
        if (!m_handle) {
            return;
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self = shared_from_this()] {
                if (auto handle = std::exchange(self->m_handle, nullptr)) {
                    handle.resume();
                }
            },
            Qt::QueuedConnection);
    }

    // The awaiting coroutine is gone: nothing is resumed any more.
    void abandon()
    {
        m_handle = nullptr;
        m_onStop.reset();
    }

protected:
    // Called once, when the wait ends: lets a subclass release what it watched.
    virtual void ended() {}

private:
    struct Stopper {
        std::weak_ptr<Wakeup> wakeup;
        void operator()() const noexcept
        {
            if (auto self = wakeup.lock()) {
                self->finish(false);
            }
        }
    };

    std::coroutine_handle<> m_handle;
    bool m_done = false;
    bool m_result = false;
    std::optional<std::stop_callback<Stopper>> m_onStop;
};

// Holds a Wakeup (or a subclass) for an awaitable: movable, and abandons the wait when the
// awaitable that still owns it goes away.
template <typename State>
class WakeupHandle {
public:
    explicit WakeupHandle(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    WakeupHandle(WakeupHandle &&) noexcept = default;
    WakeupHandle &operator=(WakeupHandle &&) noexcept = default;
    ~WakeupHandle()
    {
        if (m_state) {
            m_state->abandon();
        }
    }

    State *operator->() const { return m_state.get(); }
    const std::shared_ptr<State> &shared() const { return m_state; }

private:
    std::shared_ptr<State> m_state;
};

} // namespace cordavelle::async
