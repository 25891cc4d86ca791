#pragma once

#include "base/service_config.h"
#include "base/service_model.h"

#include <QCoroTask>
#include <QString>

#include <cstdint>
#include <vector>

namespace cordavelle {

// Clears whatever still listens on a service's TCP ports before the service starts, so that the
// new child finds them free: SIGTERM to every listener, up to 3 s for the ports to become free,
// then SIGKILL to those left. The VARA services are not reaped by port.
class PortReaper {
public:
    PortReaper() = delete;

    // The ports examined for a service, in order: none for VARA, rigctld's `tcpPort`, Direwolf's
    // `kissPort` then `agwPort`; ports below 1 are left out.
    static std::vector<int> portsToReap(ServiceID id, const RigctldConfig &rigctld, const DirewolfConfig &direwolf);

    // The processes that listen on a TCP port, in the order lsof prints them, duplicates kept.
    // Empty when lsof cannot be run or prints no usable answer. Blocks while lsof runs.
    static std::vector<int32_t> pidsListeningOn(int port);

    // Never fails and runs to its end once begun. The helper's own process is never signalled,
    // even when it holds one of the ports itself.
    static QCoro::Task<void> reapStaleProcessesHoldingPorts(ServiceID id, RigctldConfig rigctld,
                                                            DirewolfConfig direwolf);
};

} // namespace cordavelle
