#pragma once

#include "base/service_config.h"

#include <QObject>

#include <functional>
#include <optional>
#include <stop_token>

namespace cordavelle {

class Clock;
class ConfigStore;

// Carries edits of the Direwolf settings into direwolf.conf while the Direwolf page is shown:
// 0.4 s after the last change of a burst, one write of the settings as they stood then. It
// outlives the pages, so a write scheduled just before a page goes still happens; changes made
// while no page watches schedule nothing.
class DirewolfConfRegenerator final : public QObject {
    Q_OBJECT
public:
    // Writes the file; throws std::exception on failure.
    using Writer = std::function<void(const DirewolfConfig &)>;

    DirewolfConfRegenerator(ConfigStore &config, Clock &clock, Writer writer, QObject *parent = nullptr);
    ~DirewolfConfRegenerator() override;

    // A page starts and stops watching; the settings as they are now are not written. A page
    // that replaces another starts before the old one stops, so watchers are counted.
    void watch();
    void unwatch();
    bool isWatching() const { return m_watchers > 0; }

private:
    void settingsChanged(const DirewolfConfig &config);
    void schedule(const DirewolfConfig &snapshot);

    ConfigStore &m_config;
    Clock &m_clock;
    Writer m_writer;
    int m_watchers = 0;
    DirewolfConfig m_seen;
    std::optional<std::stop_source> m_pending;
};

} // namespace cordavelle
