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
    // The ports the helper itself listens on or gives its services (the API, the keep-alive
    // request's listener, Direwolf's KISS and AGW ports, the managed rigctld's port, VARA's ports).
    QList<quint16> helperPorts;
    PortListenerLookup listeners;
    unsigned user = 0;
    // Adverts that stood beside another server for their radio while Direwolf ran: which of two
    // is the client's can't be told, so neither takes the other's place (see noteRigControlRivals).
    QList<RigControlServerEndpoint> rivals = {};
};

// An advert proves nothing by itself: anyone on the network may announce any radio at any port,
// and Direwolf keys whatever answers there. Of `servers`, the one announced for `radio` (trimmed;
// with a blank one, the first radio listed that has one) that this machine announced (in the
// Bonjour daemon's word), is no rival, points at no port of the helper's and at none another of
// this machine's adverts gives to another radio, and whose port only `user`'s programs listen on.
// When those that pass point at more than one port, none is sure and none is taken. Every advert
// refused is passed over with why, in the list's order (once when repeated word for word); when no
// advert names the radio, each one listed is passed over as another radio's.
RigControlServerChoice chooseRigControlServer(const QList<RigControlServerEndpoint> &servers, const QString &radio,
                                              const RigControlServerSurroundings &surroundings);

// The same over what `discovery` lists, for this process's user and this machine's socket table.
RigControlServerChoice chooseRigControlServer(const RigControlServerDiscovery &discovery, const QString &radio,
                                              const QList<quint16> &helperPorts,
                                              const QList<RigControlServerEndpoint> &rivals = {});

// What the choice weighs adverts against on this machine, for this process's user.
RigControlServerSurroundings thisMachinesSurroundings(const QList<quint16> &helperPorts,
                                                      const QList<RigControlServerEndpoint> &rivals = {});

// Adds to `surroundings.rivals` every advert for `radio` (each radio listed, when it is blank)
// that the choice would take but for another such advert for the same radio at another port, but
// `kept`, the server Direwolf was keyed through: which of two is the client's can't be told, and
// the second may be waiting for the first to go, so it never takes its place at a gap.
void noteRigControlRivals(const QList<RigControlServerEndpoint> &servers, const QString &radio,
                          const std::optional<RigControlServerEndpoint> &kept, RigControlServerSurroundings &surroundings);

} // namespace cordavelle
