#pragma once

#include "platform/port_listeners.h"
#include "radio/rig_control_server_endpoint.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace cordavelle {

class RigControlServerDiscovery;

// Why a rig-control server whose port has `listeners` (none when they can't be looked up) may not
// take the PTT of `user`'s Direwolf; nothing when it may.
std::optional<QString> rigControlServerRefusal(const std::optional<std::vector<PortListener>> &listeners, unsigned user);

// Whether `server` was announced for the radio named `radio`: canonically equal spellings are one
// name; case and spaces count.
bool servesRadio(const RigControlServerEndpoint &server, const QString &radio);

// How the logs and direwolf.conf name `server`: "'<radio>' at 127.0.0.1:<port>", the advertised
// name without its control characters.
QString shownRigControlServer(const RigControlServerEndpoint &server);

// A listed rig-control server that may not take Direwolf's PTT, and why.
struct PassedOverRigControlServer {
    RigControlServerEndpoint server;
    QString reason;

    bool operator==(const PassedOverRigControlServer &) const = default;
};

// The rig-control server that takes Direwolf's PTT, if any, and the ones passed over before it.
struct RigControlServerChoice {
    std::optional<RigControlServerEndpoint> chosen;
    std::vector<PassedOverRigControlServer> passedOver;

    bool operator==(const RigControlServerChoice &) const = default;
};

// The sockets that listen on a port of this machine; none when they can't be looked up.
using PortListenerLookup = std::function<std::optional<std::vector<PortListener>>(quint16 port)>;

// Every host's adverts are listed, and any user of this machine may advertise a server for the
// user's radio on a port of hers, so the first listed is not simply taken. Of `servers` announced
// for `radio` (trimmed; all of them when it is blank or none is announced for it), in their order,
// the first whose port only `user`'s programs listen on; each one before it is passed over with
// its refusal. An advert repeated word for word is passed over once.
RigControlServerChoice chooseRigControlServer(const QList<RigControlServerEndpoint> &servers, const QString &radio,
                                              const PortListenerLookup &listeners, unsigned user);

// The same over what `discovery` lists, for this process's user and this machine's socket table.
RigControlServerChoice chooseRigControlServer(const RigControlServerDiscovery &discovery, const QString &radio);

} // namespace cordavelle
