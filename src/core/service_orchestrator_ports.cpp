// The ports a service's clients reach it on: whether another user holds one, the addresses of the
// other family held while the child starts, and the sweep of the service's own stale listeners.

#include "service_orchestrator.h"

#include "base/helper_error.h"
#include "core/config_store.h"
#include "core/port_probe.h"
#include "core/service_addresses.h"

namespace cordavelle {

std::vector<ServiceOrchestrator::ClientPort> ServiceOrchestrator::clientPorts(ServiceID id) const
{
    switch (id) {
    case ServiceID::varaHF:
    case ServiceID::varaFM: {
        const VARAVariant variant = id == ServiceID::varaHF ? VARAVariant::hf : VARAVariant::fm;
        return {{displayName(id) + QStringLiteral("'s command port"), commandPort(variant), false},
                {displayName(id) + QStringLiteral("'s data port"), dataPort(variant), false}};
    }
    case ServiceID::rigctld:
        return {{QStringLiteral("rigctld's port"), m_config.rigctldConfig().tcpPort, true}};
    case ServiceID::direwolf: {
        const DirewolfConfig direwolf = m_config.direwolfConfig();
        return {{QStringLiteral("Direwolf's KISS port"), direwolf.kissPort, true},
                {QStringLiteral("Direwolf's AGW port"), direwolf.agwPort, true}};
    }
    }
    return {};
}

std::optional<HelperError> ServiceOrchestrator::portTakenByAnotherUser(ServiceID id) const
{
    for (const ClientPort &port : clientPorts(id)) {
        if (port.port >= 1 && portHeldByAnotherUser(port.port)) {
            return port.inUse({PortHolder::Kind::anotherUser, {}});
        }
    }
    return std::nullopt;
}

std::optional<HelperError> ServiceOrchestrator::holdOtherFamily(ServiceID id, std::vector<PortHold> &holds) const
{
    const std::optional<PortHold::Address> address =
        otherFamilyHold(id, m_config.allowNetworkAccess(), canListenOnBothFamilies());
    if (!address) {
        return std::nullopt;
    }
    for (const ClientPort &port : clientPorts(id)) {
        if (port.port < 1) {
            continue;
        }
        PortHold hold(port.port, *address);
        // The service's own stray copies were cleared before: whoever has the address now, most
        // likely bound and waiting to listen, is no child of this start.
        if (hold.outcome() == PortHold::Outcome::taken) {
            return port.inUse(holderOfAddress(port.port, *address));
        }
        holds.push_back(std::move(hold));
    }
    return std::nullopt;
}

QCoro::Task<std::optional<QString>> ServiceOrchestrator::reapStaleProcessesHoldingPorts(ServiceID id,
                                                                                       std::stop_token cancel)
{
    co_return co_await m_portReaper.reapStaleProcessesHoldingPorts(id, m_config.rigctldConfig(), m_config.direwolfConfig(),
                                                                   cancel);
}

} // namespace cordavelle
