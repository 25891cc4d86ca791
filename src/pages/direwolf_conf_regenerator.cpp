#include "direwolf_conf_regenerator.h"

#include "base/helper_logger.h"
#include "core/config_store.h"
#include "platform/clock.h"

#include <QCoroTask>
#include <QPointer>

#include <algorithm>

namespace cordavelle {

namespace {

using namespace std::chrono_literals;
constexpr auto kDebounce = 400ms;

} // namespace

DirewolfConfRegenerator::DirewolfConfRegenerator(ConfigStore &config, Clock &clock, Writer writer, QObject *parent)
    : QObject(parent), m_config(config), m_clock(clock), m_writer(std::move(writer))
{
    connect(&m_config, &ConfigStore::direwolfConfigChanged, this, &DirewolfConfRegenerator::settingsChanged);
}

DirewolfConfRegenerator::~DirewolfConfRegenerator()
{
    if (m_pending) {
        m_pending->request_stop();
    }
}

void DirewolfConfRegenerator::watch()
{
    if (m_watchers++ == 0) {
        m_seen = m_config.direwolfConfig();
    }
}

void DirewolfConfRegenerator::unwatch() { m_watchers = std::max(0, m_watchers - 1); }

void DirewolfConfRegenerator::settingsChanged(const DirewolfConfig &config)
{
    // The store may notify an assignment of the same record; only a real change is written.
    if (!isWatching() || config == m_seen) {
        return;
    }
    m_seen = config;
    schedule(config);
}

void DirewolfConfRegenerator::schedule(const DirewolfConfig &snapshot)
{
    if (m_pending) {
        m_pending->request_stop();
    }
    m_pending.emplace();
    const std::stop_token stop = m_pending->get_token();
    [](QPointer<DirewolfConfRegenerator> self, Clock &clock, DirewolfConfig snapshot,
       std::stop_token stop) -> QCoro::Task<void> {
        co_await clock.sleep(kDebounce, stop);
        if (!self || stop.stop_requested()) {
            co_return;
        }
        self->m_pending.reset();
        try {
            self->m_writer(snapshot);
        } catch (const std::exception &error) {
            HelperLogger::error(QStringLiteral("[DirewolfConfig] Failed to write direwolf.conf: ") +
                                    QString::fromUtf8(error.what()),
                                HelperLogger::Category::services);
        }
    }(this, m_clock, snapshot, stop);
}

} // namespace cordavelle
