// What a change of network access does to the services that run: each child keeps the address
// it was launched with until its next start, while the addresses the helper holds beside it
// widen at once, and nothing is let go of before the child is gone.

#include "service_orchestrator.h"

#include "base/helper_logger.h"
#include "core/config_store.h"
#include "core/port_probe.h"

namespace cordavelle {

namespace {

bool childThere(const ManagedProcess &process)
{
    const ServiceRunState state = process.state();
    return state == ServiceRunState::starting || state == ServiceRunState::running || state == ServiceRunState::stopping;
}

} // namespace

void ServiceOrchestrator::followNetworkAccess()
{
    // Turned off, what is held stays until the child is gone: a child launched with network
    // access still listens everywhere, and its neighbours' addresses stay covered meanwhile.
    if (!m_config.allowNetworkAccess()) {
        return;
    }
    for (auto &[id, held] : m_portHolds) {
        // Launched with network access, the child or the holds already cover every address.
        if (held.networkAccess || held.widened) {
            continue;
        }
        held.widened = true;
        for (const ClientPort &port : held.ports) {
            if (port.port < 1) {
                continue;
            }
            PortHold hold(port.port, PortHold::Address::ipv6Any);
            if (hold.outcome() == PortHold::Outcome::taken) {
                // The child runs on; LAN clients that reach this port over IPv6 may reach that program.
                HelperLogger::error(QStringLiteral("[ServiceOrchestrator] Network access allowed, but [::]:%1 can't be "
                                                   "held while %2 runs: %3")
                                        .arg(port.port)
                                        .arg(displayName(id),
                                             port.inUse(holderOfAddress(port.port, PortHold::Address::ipv6Any)).description()),
                                    HelperLogger::Category::services);
                continue;
            }
            if (hold.outcome() == PortHold::Outcome::held) {
                HelperLogger::info(QStringLiteral("[ServiceOrchestrator] Network access allowed: holding [::]:%1 (%2) "
                                                  "until %3 stops")
                                       .arg(port.port)
                                       .arg(port.name, displayName(id)),
                                   HelperLogger::Category::services);
            }
            held.holds.push_back(std::move(hold));
        }
    }
}

std::optional<bool> ServiceOrchestrator::networkAccessInEffect(ServiceID id) const
{
    const auto it = m_portHolds.find(id);
    if (it == m_portHolds.end() || !childThere(process(id))) {
        return std::nullopt;
    }
    return it->second.networkAccess;
}

bool ServiceOrchestrator::networkAccessAwaitsRestart() const
{
    for (ServiceID id : allCases<ServiceID>()) {
        const std::optional<bool> launched = networkAccessInEffect(id);
        if (launched && *launched != m_config.allowNetworkAccess()) {
            return true;
        }
    }
    return false;
}

} // namespace cordavelle
