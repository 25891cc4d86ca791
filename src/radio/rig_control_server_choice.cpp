#include "rig_control_server_choice.h"

#include "base/spaces_and_tabs.h"
#include "radio/direwolf_config_manager.h"
#include "radio/rig_control_server_discovery.h"

#include <algorithm>
#include <iterator>

#include <unistd.h>

namespace cordavelle {

std::optional<QString> rigControlServerRefusal(const std::optional<std::vector<PortListener>> &listeners, unsigned user)
{
    if (!listeners) {
        return QStringLiteral("whose listener can't be looked up, may not be a program of this user");
    }
    if (listeners->empty()) {
        return QStringLiteral("has nothing listening");
    }
    // The table names no addresses: a wildcard or dual-stack listener of another user may be the
    // one a connection to 127.0.0.1 reaches, so any of them counts against the server.
    if (!std::all_of(listeners->begin(), listeners->end(),
                     [user](const PortListener &listener) { return listener.uid == user; })) {
        return QStringLiteral("is not a program of this user");
    }
    return std::nullopt;
}

QString shownRigControlServer(const RigControlServerEndpoint &server)
{
    return QLatin1Char('\'') + DirewolfConfigManager::withoutControlCharacters(server.radioName) +
           QStringLiteral("' at 127.0.0.1:") + QString::number(server.port);
}

bool servesRadio(const RigControlServerEndpoint &server, const QString &radio)
{
    return server.radioName == radio ||
           server.radioName.normalized(QString::NormalizationForm_C) == radio.normalized(QString::NormalizationForm_C);
}

namespace {

const QString kSeveral = QStringLiteral("is one of several servers advertised for the radio");

bool sameAdvert(const RigControlServerEndpoint &a, const RigControlServerEndpoint &b)
{
    return a == b && a.host == b.host && a.fromThisMachine == b.fromThisMachine;
}

// Why `server`, announced for `radio`, may not be taken whatever else is listed; nothing when it
// may be.
std::optional<QString> advertRefusal(const RigControlServerEndpoint &server, const QString &radio,
                                     const QList<RigControlServerEndpoint> &servers,
                                     const RigControlServerSurroundings &surroundings)
{
    // Reached on 127.0.0.1, another host's server would be whatever this machine has at its port;
    // where the advert points proves nothing, as any host may name this machine there.
    if (!server.fromThisMachine) {
        QString host = DirewolfConfigManager::withoutControlCharacters(server.host);
        if (host.endsWith(QLatin1Char('.'))) {
            host.chop(1);
        }
        return host.isEmpty() ? QStringLiteral("is not announced by this machine as its own")
                              : QStringLiteral("is not announced by this machine as its own, pointing at ") + host;
    }
    if (std::any_of(surroundings.rivals.begin(), surroundings.rivals.end(),
                    [&server](const RigControlServerEndpoint &rival) { return rival == server; })) {
        return kSeveral;
    }
    if (surroundings.helperPorts.contains(server.port)) {
        return QStringLiteral("is at a port of the helper's own");
    }
    // Another host's advert says nothing of this machine's ports.
    for (const RigControlServerEndpoint &other : servers) {
        if (other.fromThisMachine && other.port == server.port && !servesRadio(other, radio)) {
            return QStringLiteral("shares its port with the advert for radio '") +
                   DirewolfConfigManager::withoutControlCharacters(other.radioName) + QLatin1Char('\'');
        }
    }
    const PortListenerLookup &listeners = surroundings.listeners;
    return rigControlServerRefusal(listeners ? listeners(server.port) : std::nullopt, surroundings.user);
}

// The server for `radio` among `servers`, if one is sure; the adverts for it refused are added to
// `passedOver`.
std::optional<RigControlServerEndpoint> chooseForRadio(const QList<RigControlServerEndpoint> &servers, const QString &radio,
                                                       const RigControlServerSurroundings &surroundings,
                                                       std::vector<PassedOverRigControlServer> &passedOver)
{
    std::vector<std::pair<RigControlServerEndpoint, std::optional<QString>>> looked;
    for (const RigControlServerEndpoint &server : servers) {
        const bool seen = std::any_of(looked.begin(), looked.end(),
                                      [&server](const auto &entry) { return sameAdvert(entry.first, server); });
        if (!servesRadio(server, radio) || seen) {
            continue;
        }
        looked.emplace_back(server, advertRefusal(server, radio, servers, surroundings));
    }
    std::optional<RigControlServerEndpoint> chosen;
    bool several = false;
    for (const auto &[server, refusal] : looked) {
        if (refusal) {
            continue;
        }
        if (!chosen) {
            chosen = server;
        } else if (chosen->port != server.port) {
            several = true;
        }
    }
    for (const auto &[server, refusal] : looked) {
        if (refusal) {
            passedOver.push_back({server, *refusal});
        } else if (several) {
            passedOver.push_back({server, kSeveral});
        }
    }
    return several ? std::nullopt : chosen;
}

} // namespace

RigControlServerChoice chooseRigControlServer(const QList<RigControlServerEndpoint> &servers, const QString &radio,
                                              const RigControlServerSurroundings &surroundings)
{
    RigControlServerChoice choice;
    const QString wanted = trimmedSpacesAndTabs(radio);
    if (!wanted.isEmpty()) {
        const bool advertised = std::any_of(servers.begin(), servers.end(),
                                            [&wanted](const RigControlServerEndpoint &server) { return servesRadio(server, wanted); });
        if (advertised) {
            choice.chosen = chooseForRadio(servers, wanted, surroundings, choice.passedOver);
            return choice;
        }
        // Another radio's server would key the wrong transmitter; the user learns which are there.
        for (const RigControlServerEndpoint &server : servers) {
            const bool seen = std::any_of(choice.passedOver.begin(), choice.passedOver.end(),
                                          [&server](const PassedOverRigControlServer &passed) { return sameAdvert(passed.server, server); });
            if (!seen) {
                choice.passedOver.push_back({server, QStringLiteral("is advertised for another radio")});
            }
        }
        return choice;
    }
    // No radio named: the first radio listed that has a sure server.
    QStringList radios;
    for (const RigControlServerEndpoint &server : servers) {
        const bool seen = std::any_of(radios.begin(), radios.end(), [&server](const QString &name) { return servesRadio(server, name); });
        if (!seen) {
            radios << server.radioName;
        }
    }
    for (const QString &name : radios) {
        choice.chosen = chooseForRadio(servers, name, surroundings, choice.passedOver);
        if (choice.chosen) {
            break;
        }
    }
    return choice;
}

RigControlServerSurroundings thisMachinesSurroundings(const QList<quint16> &helperPorts,
                                                      const QList<RigControlServerEndpoint> &rivals)
{
    RigControlServerSurroundings surroundings;
    surroundings.rivals = rivals;
    surroundings.helperPorts = helperPorts;
    surroundings.listeners = [](quint16 port) { return tcpListenersOn(port); };
    surroundings.user = ::geteuid();
    return surroundings;
}

RigControlServerChoice chooseRigControlServer(const RigControlServerDiscovery &discovery, const QString &radio,
                                              const QList<quint16> &helperPorts,
                                              const QList<RigControlServerEndpoint> &rivals)
{
    return chooseRigControlServer(discovery.endpoints(), radio, thisMachinesSurroundings(helperPorts, rivals));
}

void noteRigControlRivals(const QList<RigControlServerEndpoint> &servers, const QString &radio,
                          const std::optional<RigControlServerEndpoint> &kept, RigControlServerSurroundings &surroundings)
{
    const QString wanted = trimmedSpacesAndTabs(radio);
    // Only adverts the choice would take contest each other: one nobody of the user's answers at
    // is no server at all.
    const RigControlServerSurroundings unweighed = [&surroundings] {
        RigControlServerSurroundings copy = surroundings;
        copy.rivals.clear();
        return copy;
    }();
    QList<RigControlServerEndpoint> takeable;
    for (const RigControlServerEndpoint &server : servers) {
        if ((wanted.isEmpty() || servesRadio(server, wanted)) &&
            !advertRefusal(server, wanted.isEmpty() ? server.radioName : wanted, servers, unweighed)) {
            takeable << server;
        }
    }
    for (const RigControlServerEndpoint &server : takeable) {
        const bool contested = std::any_of(takeable.begin(), takeable.end(), [&server](const RigControlServerEndpoint &other) {
            return other.port != server.port && servesRadio(other, server.radioName);
        });
        const bool known = surroundings.rivals.contains(server);
        if (contested && !known && server != kept) {
            surroundings.rivals << server;
        }
    }
}

} // namespace cordavelle
