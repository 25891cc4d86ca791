#pragma once

#include "platform/clock.h"

#include <coroutine>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <utility>
#include <vector>

namespace cordavelle::test {

// Virtual time for tests. Sleepers resume in deadline order (equal deadlines in the order they
// began) only when the test advances the clock; queued events are processed between wake-ups so
// deferred tasks run as they would on the real event loop. Everything runs on one thread.
class ManualClock final : public Clock {
public:
    ManualClock();
    ~ManualClock() override;

    SteadyTime now() const override { return m_now; }
    WallTime wallNow() const override { return m_wallNow; }
    QCoro::Task<bool> sleep(std::chrono::milliseconds duration, std::stop_token stop = {}) override;

    // Moves time forward by `duration`, waking every sleeper whose deadline falls inside it.
    void advance(std::chrono::milliseconds duration);
    // Steps from deadline to deadline until `done` holds (checked after each step) or `limit` of
    // virtual time has passed; returns whether `done` held.
    [[nodiscard]] bool advanceUntil(const std::function<bool()> &done, std::chrono::milliseconds limit);
    // For tests where real children or sockets take part: alternates a few milliseconds of real
    // event processing with waking the next sleeper (within `virtualLimit`), until `done` holds or
    // `realLimit` of real time has passed.
    [[nodiscard]] bool runUntil(const std::function<bool()> &done, std::chrono::milliseconds virtualLimit,
                  std::chrono::milliseconds realLimit = std::chrono::milliseconds(10000));

    // Keeps runUntil from waking any sleeper while it lives: for a test that waits in real time
    // for something real (a killed child's end) before which no virtual time may pass, however
    // long a loaded machine takes to report it.
    class Hold {
    public:
        explicit Hold(ManualClock &clock) : m_clock(&clock) { ++clock.m_holds; }
        ~Hold()
        {
            if (m_clock) {
                --m_clock->m_holds;
            }
        }
        Hold(Hold &&other) noexcept : m_clock(std::exchange(other.m_clock, nullptr)) {}
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;
        Hold &operator=(Hold &&) = delete;

    private:
        ManualClock *m_clock;
    };
    [[nodiscard]] Hold hold() { return Hold(*this); }

    std::size_t sleeperCount() const { return m_sleepers.size(); }
    std::optional<SteadyTime> nextDeadline() const;
    // The durations of the sleeps begun so far, in the order they began.
    const std::vector<std::chrono::milliseconds> &sleepLog() const { return m_sleepLog; }

    // Drains queued events and deferred calls.
    static void processEvents();

private:
    friend class ManualSleepAwaiter;
    struct Sleeper {
        SteadyTime deadline;
        std::uint64_t sequence;
        std::coroutine_handle<> handle;
        bool *result;
        bool *registered;
    };

    void setTime(SteadyTime t);
    bool wakeNextDue(SteadyTime limit);

    SteadyTime m_now;
    WallTime m_wallNow;
    std::uint64_t m_sequence = 0;
    int m_holds = 0;
    std::list<Sleeper> m_sleepers;
    std::vector<std::chrono::milliseconds> m_sleepLog;
};

} // namespace cordavelle::test
