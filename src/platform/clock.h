#pragma once

#include <QCoroTask>

#include <chrono>
#include <stop_token>

namespace cordavelle {

// Every wait of the helper goes through a Clock so that tests can run minutes of
// behaviour in milliseconds of real time.
class Clock {
public:
    using SteadyTime = std::chrono::steady_clock::time_point;
    using WallTime = std::chrono::system_clock::time_point;

    virtual ~Clock() = default;

    virtual SteadyTime now() const = 0;
    virtual WallTime wallNow() const = 0;

    // Resumes after `duration`, or early when `stop` is requested. Returns false when woken by a
    // stop request (or when it was already requested). A zero duration does not suspend.
    virtual QCoro::Task<bool> sleep(std::chrono::milliseconds duration, std::stop_token stop = {}) = 0;
};

// The production clock: precise Qt timers on the calling thread's event loop.
class SystemClock final : public Clock {
public:
    SteadyTime now() const override;
    WallTime wallNow() const override;
    QCoro::Task<bool> sleep(std::chrono::milliseconds duration, std::stop_token stop = {}) override;
};

} // namespace cordavelle
