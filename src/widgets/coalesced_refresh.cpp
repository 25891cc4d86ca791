#include "widgets/coalesced_refresh.h"

#include "platform/clock.h"

#include <QCoroTask>
#include <QPointer>

namespace cordavelle {

namespace {

QCoro::Task<void> refreshLater(QPointer<QObject> self, Clock &clock, std::chrono::milliseconds delay,
                               std::stop_token stop, std::function<void()> run)
{
    const bool slept = co_await clock.sleep(delay, stop);
    if (slept && self) {
        run();
    }
}

} // namespace

CoalescedRefresh::~CoalescedRefresh()
{
    if (m_wait) {
        m_wait->request_stop();
    }
}

void CoalescedRefresh::schedule()
{
    if (m_scheduled) {
        return;
    }
    m_scheduled = true;
    if (m_clock && m_lastRun) {
        const auto due = *m_lastRun + m_interval;
        const auto now = m_clock->now();
        if (now < due) {
            m_wait.emplace();
            // Rounded up: woken a little early, the refresh would wait once more.
            const auto delay = std::chrono::ceil<std::chrono::milliseconds>(due - now);
            refreshLater(this, *m_clock, delay, m_wait->get_token(), [this] { run(); });
            return;
        }
    }
    QMetaObject::invokeMethod(this, [this] { run(); }, Qt::QueuedConnection);
}

void CoalescedRefresh::run()
{
    m_scheduled = false;
    m_wait.reset();
    if (m_clock) {
        m_lastRun = m_clock->now();
    }
    m_refresh();
}

} // namespace cordavelle
