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

// What the choice weighs an advert against besides the other adverts.
struct RigControlServerSurroundings {
    // Whether an advert's host is this machine.
    std::function<bool(const QString &host)> isThisMachine;
    // The ports the helper itself listens on or gives its services (the API, the keep-alive
    // request's listener, Direwolf's KISS and AGW ports, the managed rigctld's port).
    QList<quint16> helperPorts;
    PortListenerLookup listeners;
    unsigned user = 0;
};

// An advert proves nothing by itself: anyone on the network may announce any radio at any port,
// and Direwolf keys whatever answers there. Of `servers`, the one announced for `radio` (trimmed;
// with a blank one, the first radio listed that has one) that comes from this machine, points at
// no port of the helper's and at none another advert gives to another radio, and whose port only
// `user`'s programs listen on. When those that pass point at more than one port, none is sure and
// none is taken. Every advert refused is passed over with why, in the list's order (once when
// repeated word for word); when no advert names the radio, each one listed is passed over as
// another radio's.
RigControlServerChoice chooseRigControlServer(const QList<RigControlServerEndpoint> &servers, const QString &radio,
                                              const RigControlServerSurroundings &surroundings);

// The same over what `discovery` lists, for this process's user and this machine's socket table.
RigControlServerChoice chooseRigControlServer(const RigControlServerDiscovery &discovery, const QString &radio,
                                              const QList<quint16> &helperPorts);

} // namespace cordavelle
