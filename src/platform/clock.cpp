#include "clock.h"

#include "async/timer_wait.h"

namespace cordavelle {

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
    co_return co_await async::TimerWait(duration, std::move(stop));
}

} // namespace cordavelle
