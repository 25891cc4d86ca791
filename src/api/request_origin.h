#pragma once

#include "http_request.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace cordavelle {

// Keeps web pages in the user's browser away from the API. A page can't send a request without
// an Origin header across sites, and a page that renamed its own server to a loopback address
// (DNS rebinding) still names itself in Host; native clients send neither an Origin nor a foreign
// Host.
class RequestOrigin {
public:
    // Whether an address belongs to this machine.
    using AddressTest = std::function<bool(const QHostAddress &)>;

    // `port` is the API's; `ownNames` are the host names of this machine (lower case) besides
    // "localhost".
    RequestOrigin(quint16 port, QStringList ownNames, AddressTest isOwnAddress);

    // The names this machine answers to: its host name and its ".local" name.
    static QStringList machineNames();
    // Any address of one of this machine's interfaces.
    static bool isMachineAddress(const QHostAddress &address);

    // Why the request is refused (403), or nothing. A request without Host (HTTP/1.0) is served.
    std::optional<QString> refusal(const HTTPRequest &request) const;

private:
    bool isOwnHost(const QString &hostHeader) const;

    quint16 m_port;
    QStringList m_ownNames;
    AddressTest m_isOwnAddress;
};

} // namespace cordavelle
