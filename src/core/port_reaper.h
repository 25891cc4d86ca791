#pragma once

#include "base/service_config.h"
#include "base/service_model.h"

#include <QCoroTask>
#include <QString>

#include <cstdint>
#include <optional>
#include <stop_token>
#include <vector>

namespace cordavelle {

class Clock;
class CommandRunner;

// Clears the service's own program (rigctld, Direwolf) where it still listens on the service's
// TCP ports before the service starts, so that the new child finds them free: SIGTERM to each such
// listener, up to 3 s for the ports to become free, then SIGKILL to those left. Any other program
// on those ports is the user's and is left alone; the start then fails with the port in use. The
// VARA services are not reaped by port.
class PortReaper {
public:
    PortReaper(CommandRunner &runner, Clock &clock) : m_runner(runner), m_clock(clock) {}

    // The ports examined for a service, in order: none for VARA, rigctld's `tcpPort`, Direwolf's
    // `kissPort` then `agwPort`; ports below 1 are left out.
    static std::vector<int> portsToReap(ServiceID id, const RigctldConfig &rigctld, const DirewolfConfig &direwolf);

    // The processes that listen on a TCP port, in the order lsof prints them, duplicates kept.
    // Empty when lsof cannot be run or prints no usable answer. Blocks while lsof runs.
    std::vector<int32_t> pidsListeningOn(int port) const;

    // Never fails. Gives the reason the service can't have its ports when another program (the
    // helper itself included) listens on one of them. Once `cancel` is requested it stops
    // waiting and kills nothing more: by then the listener on the port may be a child launched
    // by a later start, and that start reaps for itself.
    QCoro::Task<std::optional<QString>> reapStaleProcessesHoldingPorts(ServiceID id, RigctldConfig rigctld,
                                                                       DirewolfConfig direwolf,
                                                                       std::stop_token cancel = {}) const;

private:
    CommandRunner &m_runner;
    Clock &m_clock;
};

} // namespace cordavelle
