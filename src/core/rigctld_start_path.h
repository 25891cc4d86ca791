#pragma once

#include "base/service_config.h"

#include <QCoroTask>
#include <QObject>
#include <QStringList>

#include <optional>

#include <stop_token>

namespace cordavelle {

class ConfigStore;
class ManagedProcess;
class OrphanReaper;
class RadioPowerController;

// Starts rigctld through its process: the program, its command line, and the radio switched on
// before the service counts as running. Main thread only.
class RigctldStartPath final : public QObject {
    Q_OBJECT
public:
    // `radioPower` switches the radio on after the launch when the settings let it; `reaper`
    // clears rigctld daemons left from before.
    RigctldStartPath(ConfigStore &config, ManagedProcess &process, RadioPowerController &radioPower,
                     const OrphanReaper &reaper);

    // rigctld's command line for a configuration and a listen address.
    static QStringList arguments(const RigctldConfig &config, const QString &bindAddress);

    ManagedProcess &process() const { return m_process; }
    // The settings of the last launch: what the running rigctld goes by.
    const std::optional<RigctldConfig> &launchedConfig() const { return m_launched; }

    // Throws when no rigctld is found or the one found cannot run here, before anything is
    // killed or launched, and whatever the launch throws. Ends without marking the process
    // running once `cancel` is requested or the child has ended, and without killing or
    // launching anything while the process is not stopped or in error. Starts must not overlap:
    // the orchestrator runs them one after another. `networkAccess` chooses the listen address:
    // the setting the orchestrator held the other addresses for.
    QCoro::Task<void> start(std::stop_token cancel, bool networkAccess);

private:
    ConfigStore &m_config;
    ManagedProcess &m_process;
    RadioPowerController &m_radioPower;
    const OrphanReaper &m_reaper;
    std::optional<RigctldConfig> m_launched;
};

} // namespace cordavelle
