#include "quiet_watch.h"

#include "platform/clock.h"

namespace cordavelle {

struct QuietWatch::Watch {
    std::stop_source stop;
    Clock::SteadyTime lastHeard;
    QString host;
    bool quiet = false;
    std::function<void(const QString &)> onChange;
};

QuietWatch::QuietWatch(Clock &clock, std::function<void(const QString &)> onChange)
    : m_clock(clock), m_onChange(std::move(onChange))
{
}

QuietWatch::~QuietWatch() { end(); }

void QuietWatch::begin(const QUrl &server)
{
    end();
    m_watch = std::make_shared<Watch>();
    m_watch->lastHeard = m_clock.now();
    m_watch->host = server.host();
    m_watch->onChange = m_onChange;
    run(m_clock, m_watch, m_watch->stop.get_token());
}

void QuietWatch::heard()
{
    if (!m_watch) {
        return;
    }
    m_watch->lastHeard = m_clock.now();
    if (m_watch->quiet) {
        m_watch->quiet = false;
        m_watch->onChange(QString());
    }
}

void QuietWatch::end()
{
    if (!m_watch) {
        return;
    }
    const std::shared_ptr<Watch> watch = std::move(m_watch);
    watch->stop.request_stop();
    if (watch->quiet) {
        watch->onChange(QString());
    }
}

QCoro::Task<void> QuietWatch::run(Clock &clock, std::shared_ptr<Watch> watch, std::stop_token stop)
{
    using namespace std::chrono_literals;
    for (;;) {
        const bool slept = co_await clock.sleep(1s, stop);
        if (!slept) {
            break;
        }
        if (!watch->quiet && clock.now() - watch->lastHeard >= kQuietLimit) {
            watch->quiet = true;
            watch->onChange(QStringLiteral("Waiting for %1\u2026").arg(watch->host));
        }
    }
}

} // namespace cordavelle
