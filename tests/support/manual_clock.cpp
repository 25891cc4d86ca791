#include "manual_clock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QObject>
#include <QPointer>

#include <algorithm>
#include <memory>

namespace cordavelle::test {

class ManualSleepAwaiter {
public:
    ManualSleepAwaiter(ManualClock *clock, Clock::SteadyTime deadline, std::stop_token stop)
        : m_state(std::make_unique<State>())
    {
        m_state->clock = clock;
        m_state->deadline = deadline;
        m_state->stop = std::move(stop);
    }

    ~ManualSleepAwaiter()
    {
        if (m_state) {
            m_state->detach();
        }
    }

    ManualSleepAwaiter(ManualSleepAwaiter &&) = default;

    bool await_ready() const noexcept { return false; }

    void await_suspend(std::coroutine_handle<> handle)
    {
        State *state = m_state.get();
        state->handle = handle;
        auto &list = state->clock->m_sleepers;
        state->entry = list.insert(list.end(), {state->deadline, state->clock->m_sequence++, handle, &state->result, &state->registered});
        state->registered = true;
        state->callback.emplace(state->stop, Waker{state});
    }

    bool await_resume() const noexcept { return m_state->result; }

private:
    struct State;
    struct Waker {
        State *state;
        void operator()() const noexcept
        {
            State *s = state;
            QPointer<QObject> guard = &s->context;
            QMetaObject::invokeMethod(
                &s->context,
                [guard, s] {
                    if (!guard || !s->registered) {
                        return;
                    }
                    s->detach();
                    s->result = false;
                    s->handle.resume();
                },
                Qt::QueuedConnection);
        }
    };
    struct State {
        ManualClock *clock = nullptr;
        Clock::SteadyTime deadline;
        std::stop_token stop;
        std::coroutine_handle<> handle;
        bool result = true;
        bool registered = false;
        std::list<ManualClock::Sleeper>::iterator entry;
        QObject context;
        std::optional<std::stop_callback<Waker>> callback;

        void detach()
        {
            if (registered) {
                clock->m_sleepers.erase(entry);
                registered = false;
            }
        }
    };
    std::unique_ptr<State> m_state;
};

ManualClock::ManualClock()
    : m_now(SteadyTime{} + std::chrono::hours(1000)),
      m_wallNow(std::chrono::sys_days{std::chrono::year{2026} / 1 / 1} + std::chrono::hours(12))
{
}

ManualClock::~ManualClock()
{
    // A stop request that a test's last steps queued may still be delivered after the clock is
    // gone; its sleeper must then find itself no longer registered.
    for (Sleeper &sleeper : m_sleepers) {
        *sleeper.registered = false;
    }
}

QCoro::Task<bool> ManualClock::sleep(std::chrono::milliseconds duration, std::stop_token stop)
{
    m_sleepLog.push_back(duration);
    if (stop.stop_requested()) {
        co_return false;
    }
    if (duration <= std::chrono::milliseconds::zero()) {
        co_return true;
    }
    co_return co_await ManualSleepAwaiter(this, m_now + duration, std::move(stop));
}

void ManualClock::processEvents()
{
    for (int round = 0; round < 8; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
}

std::optional<Clock::SteadyTime> ManualClock::nextDeadline() const
{
    if (m_sleepers.empty()) {
        return std::nullopt;
    }
    auto it = std::min_element(m_sleepers.begin(), m_sleepers.end(), [](const Sleeper &a, const Sleeper &b) {
        return a.deadline != b.deadline ? a.deadline < b.deadline : a.sequence < b.sequence;
    });
    return it->deadline;
}

void ManualClock::setTime(SteadyTime t)
{
    if (t > m_now) {
        m_wallNow += std::chrono::duration_cast<WallTime::duration>(t - m_now);
        m_now = t;
    }
}

bool ManualClock::wakeNextDue(SteadyTime limit)
{
    if (m_sleepers.empty()) {
        return false;
    }
    auto it = std::min_element(m_sleepers.begin(), m_sleepers.end(), [](const Sleeper &a, const Sleeper &b) {
        return a.deadline != b.deadline ? a.deadline < b.deadline : a.sequence < b.sequence;
    });
    if (it->deadline > limit) {
        return false;
    }
    setTime(it->deadline);
    std::coroutine_handle<> handle = it->handle;
    *it->result = true;
    *it->registered = false;
    m_sleepers.erase(it);
    handle.resume();
    processEvents();
    return true;
}

void ManualClock::advance(std::chrono::milliseconds duration)
{
    processEvents();
    const SteadyTime target = m_now + duration;
    while (wakeNextDue(target)) {
    }
    setTime(target);
    processEvents();
}

bool ManualClock::advanceUntil(const std::function<bool()> &done, std::chrono::milliseconds limit)
{
    processEvents();
    const SteadyTime target = m_now + limit;
    while (!done()) {
        if (!wakeNextDue(target)) {
            setTime(target);
            processEvents();
            return done();
        }
    }
    return true;
}

bool ManualClock::runUntil(const std::function<bool()> &done, std::chrono::milliseconds virtualLimit,
                           std::chrono::milliseconds realLimit)
{
    const SteadyTime target = m_now + virtualLimit;
    QElapsedTimer real;
    real.start();
    while (!done()) {
        if (real.elapsed() > realLimit.count()) {
            return false;
        }
        processEvents();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        if (done()) {
            return true;
        }
        if (m_holds == 0) {
            wakeNextDue(target);
        }
    }
    return true;
}

} // namespace cordavelle::test
