#include "clock.h"

#include <QPointer>
#include <QTimer>

#include <coroutine>
#include <memory>
#include <optional>

namespace cordavelle {

namespace {

// Awaits a precise single-shot timer or a stop request, whichever comes first. The state lives
// behind a unique_ptr because the awaiter itself may be moved while suspended.
class TimerAwaiter {
public:
    TimerAwaiter(std::chrono::milliseconds duration, std::stop_token stop)
        : m_state(std::make_unique<State>())
    {
        m_state->duration = duration;
        m_state->stop = std::move(stop);
    }

    bool await_ready() const noexcept { return false; }

    void await_suspend(std::coroutine_handle<> handle)
    {
        State *state = m_state.get();
        state->handle = handle;
        state->timer.setSingleShot(true);
        state->timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&state->timer, &QTimer::timeout, &state->timer, [state] { state->finish(true); });
        state->timer.start(state->duration);
        state->callback.emplace(state->stop, StopWaker{state});
    }

    bool await_resume() const noexcept { return m_state->result; }

private:
    struct State;
    struct StopWaker {
        State *state;
        // A stop request may come from any code on the event loop; resuming the sleeper inside
        // request_stop() would run its continuation in the middle of the caller, so it is queued.
        void operator()() const noexcept
        {
            QPointer<QTimer> timer = &state->timer;
            State *s = state;
            QMetaObject::invokeMethod(
                &state->timer, [timer, s] { if (timer) s->finish(false); }, Qt::QueuedConnection);
        }
    };
    struct State {
        std::chrono::milliseconds duration{0};
        std::stop_token stop;
        std::coroutine_handle<> handle;
        QTimer timer;
        bool result = true;
        bool done = false;
        std::optional<std::stop_callback<StopWaker>> callback;

        void finish(bool fired)
        {
            if (done) {
                return;
            }
            done = true;
            result = fired;
            timer.stop();
            handle.resume();
        }
    };

    std::unique_ptr<State> m_state;
};

} // namespace

Clock::SteadyTime SystemClock::now() const { return std::chrono::steady_clock::now(); }

Clock::WallTime SystemClock::wallNow() const { return std::chrono::system_clock::now(); }

QCoro::Task<bool> SystemClock::sleep(std::chrono::milliseconds duration, std::stop_token stop)
{
    if (stop.stop_requested()) {
        co_return false;
    }
    if (duration <= std::chrono::milliseconds::zero()) {
        co_return true;
    }
    co_return co_await TimerAwaiter(duration, std::move(stop));
}

} // namespace cordavelle
