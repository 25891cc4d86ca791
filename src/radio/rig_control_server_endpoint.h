#pragma once

#include <QHashFunctions>
#include <QString>

#include <functional>

namespace cordavelle {

// A rig-control server that the client runs for one radio, reached on 127.0.0.1 at `port`.
struct RigControlServerEndpoint {
    // As announced, untrimmed and case kept.
    QString radioName;
    quint16 port = 0;
    // The host the advert points at, as resolved; empty when unknown. Anyone may point an advert
    // at any host: it only names the advert to the user.
    QString host = {};
    // Whether the Bonjour daemon says this machine announced it. Only a server of this machine's
    // is reached on 127.0.0.1, so only such an advert may be believed; it is not part of which
    // server it is: Direwolf keys the port.
    bool fromThisMachine = true;

    bool operator==(const RigControlServerEndpoint &other) const
    {
        return radioName == other.radioName && port == other.port;
    }
};

inline size_t qHash(const RigControlServerEndpoint &endpoint, size_t seed = 0)
{
    return qHashMulti(seed, endpoint.radioName, endpoint.port);
}

} // namespace cordavelle

template <>
struct std::hash<cordavelle::RigControlServerEndpoint> {
    size_t operator()(const cordavelle::RigControlServerEndpoint &endpoint) const noexcept
    {
        return cordavelle::qHash(endpoint);
    }
};
