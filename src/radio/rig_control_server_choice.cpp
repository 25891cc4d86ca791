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

RigControlServerChoice chooseRigControlServer(const QList<RigControlServerEndpoint> &servers, const QString &radio,
                                              const PortListenerLookup &listeners, unsigned user)
{
    const QString wanted = trimmedSpacesAndTabs(radio);
    QList<RigControlServerEndpoint> candidates;
    if (!wanted.isEmpty()) {
        std::copy_if(servers.begin(), servers.end(), std::back_inserter(candidates),
                     [&wanted](const RigControlServerEndpoint &server) { return servesRadio(server, wanted); });
    }
    if (candidates.isEmpty()) {
        candidates = servers;
    }
    RigControlServerChoice choice;
    for (const RigControlServerEndpoint &server : candidates) {
        const bool seen = std::any_of(choice.passedOver.begin(), choice.passedOver.end(),
                                      [&server](const PassedOverRigControlServer &passed) { return passed.server == server; });
        if (seen) {
            continue;
        }
        if (std::optional<QString> refusal = rigControlServerRefusal(listeners(server.port), user)) {
            choice.passedOver.push_back({server, std::move(*refusal)});
            continue;
        }
        choice.chosen = server;
        break;
    }
    return choice;
}

RigControlServerChoice chooseRigControlServer(const RigControlServerDiscovery &discovery, const QString &radio)
{
    return chooseRigControlServer(discovery.endpoints(), radio, [](quint16 port) { return tcpListenersOn(port); },
                                  ::geteuid());
}

} // namespace cordavelle
