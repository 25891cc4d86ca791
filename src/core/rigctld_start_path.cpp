#include "rigctld_start_path.h"

#include "base/binary_architecture_detector.h"
#include "base/helper_error.h"
#include "base/helper_logger.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "core/launch_verdict.h"
#include "core/managed_process.h"
#include "core/orphan_reaper.h"
#include "core/service_addresses.h"
#include "radio/radio_power_controller.h"

#include <QPointer>

namespace cordavelle {

RigctldStartPath::RigctldStartPath(ConfigStore &config, ManagedProcess &process, RadioPowerController &radioPower,
                                   const OrphanReaper &reaper)
    : m_config(config), m_process(process), m_radioPower(radioPower), m_reaper(reaper)
{
}

QStringList RigctldStartPath::arguments(const RigctldConfig &config, const QString &bindAddress)
{
    QStringList arguments{
        QStringLiteral("-m"), QString::number(config.rigModel), QStringLiteral("-T"), bindAddress,
        QStringLiteral("-t"), QString::number(config.tcpPort),  QStringLiteral("-vvvv"),
    };
    switch (config.connectionType) {
    case RigConnectionType::serial:
        if (!config.serialPort.isEmpty()) {
            arguments << QStringLiteral("-r") << config.serialPort << QStringLiteral("-s")
                      << QString::number(config.baudRate);
        }
        break;
    case RigConnectionType::network:
        arguments << QStringLiteral("-r") << config.networkHost + QLatin1Char(':') + QString::number(config.networkPort);
        break;
    }
    return arguments;
}

QCoro::Task<void> RigctldStartPath::start(std::stop_token cancel, bool networkAccess)
{
    const RigctldConfig config = m_config.rigctldConfig();
    QString chosen = config.rigctldPath;
    if (chosen.isEmpty()) {
        const ProgramSearch search = tools::lookUpRigctld();
        if (!search.found) {
            throw HelperError::rigctldNotFound(search.passedOver);
        }
        chosen = *search.found;
    }
    // Checked here so that nothing is killed for a program that won't run, and again right before
    // the launch, after the sweep.
    checkProgramForLaunch(QStringLiteral("rigctld"), chosen);
    if (BinaryArchitectureDetector::cannotLaunchOnHost(chosen)) {
        throw HelperError::binaryIntelOnAppleSilicon(QStringLiteral("rigctld"), chosen);
    }

    // The sweep reaches every rigctld, the helper's own children among them: never while this
    // service has a child of its own.
    const ServiceRunState state = m_process.state();
    if ((state != ServiceRunState::stopped && state != ServiceRunState::error) || m_process.pid()) {
        co_return;
    }
    QPointer<RigctldStartPath> self(this);
    co_await m_reaper.killStaleProcesses(QStringLiteral("rigctld"), cancel);
    if (!self || cancel.stop_requested()) {
        co_return;
    }

    const QString path = checkProgramForLaunch(QStringLiteral("rigctld"), chosen).toLaunch();
    const QStringList arguments = RigctldStartPath::arguments(
        config, rigctldListenAddress(networkAccess, canListenOnBothFamilies()));
    const QString line = QStringLiteral("[rigctld] Starting: ") + path + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
    HelperLogger::info(line, HelperLogger::Category::services);
    m_process.appendSyntheticLog(line);

    QPointer<ManagedProcess> process(&m_process);
    m_launched = config;
    co_await process->start(path, arguments, std::nullopt, config.tcpPort, cancel);
    const std::vector<ClientPort> ports{{QStringLiteral("rigctld"), QStringLiteral("port"), config.tcpPort}};
    if (!self || !launchSurvived(*process, QStringLiteral("rigctld"), cancel, ports)) {
        co_return;
    }
    // Before the radio is switched on: its power commands go to this port.
    if (const std::optional<QString> missing =
            missingListener(ports, ProcessTree{process->pid().value_or(0), {}}, ManagedProcess::kPortWaitTimeout)) {
        co_await failLaunch(*process, *missing, cancel);
        co_return;
    }

    co_await m_radioPower.handlePostStart(config.tcpPort, config.manageRadioPower, cancel);
    // The radio's settle time is long enough for rigctld to have died meanwhile.
    if (!self || !launchSurvived(*process, QStringLiteral("rigctld"), cancel, ports)) {
        co_return;
    }
    process->markRunning();
}

} // namespace cordavelle
