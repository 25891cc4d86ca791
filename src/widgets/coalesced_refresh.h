#pragma once

#include <QMetaObject>
#include <QObject>

#include <chrono>
#include <functional>
#include <optional>
#include <stop_token>

namespace cordavelle {

class Clock;

// Folds any number of change signals within one event-loop turn into one call of `refresh`.
// A child of the view it refreshes, so a refresh still queued when the view goes is dropped.
//
// Given a clock and an interval, it also calls `refresh` at most once per interval: for changes
// that come with every request of a polling client. The first change after a quiet spell still
// shows on the next turn; later ones wait for the interval to run out and then show together.
class CoalescedRefresh final : public QObject {
public:
    CoalescedRefresh(QObject *owner, std::function<void()> refresh) : QObject(owner), m_refresh(std::move(refresh)) {}
    CoalescedRefresh(QObject *owner, std::function<void()> refresh, Clock &clock, std::chrono::milliseconds interval)
        : QObject(owner), m_refresh(std::move(refresh)), m_clock(&clock), m_interval(interval)
    {
    }
    ~CoalescedRefresh() override;

    void schedule();

private:
    void run();

    std::function<void()> m_refresh;
    Clock *m_clock = nullptr;
    std::chrono::milliseconds m_interval{0};
    std::optional<std::chrono::steady_clock::time_point> m_lastRun;
    // Set while a refresh waits for the interval to run out.
    std::optional<std::stop_source> m_wait;
    bool m_scheduled = false;
};

} // namespace cordavelle
