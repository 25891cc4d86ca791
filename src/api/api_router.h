#pragma once

#include "core/service_control.h"
#include "http_request.h"
#include "http_response.h"
#include "pairing_manager.h"

#include <QCoroTask>
#include <QStringList>

#include <functional>
#include <optional>

namespace cordavelle {

class Clock;
class ConfigStore;
class Notifications;
class UserDefaults;
struct PairedClient;

// Turns one request of the local API into exactly one reply: a fixed route table, the bearer
// gate while pairing is required, the status route and the service, configuration, callsign and
// serial-port routes. Lives for one request; main thread only.
class APIRouter {
public:
    // The pairing routes (every path under "/pair"), which make their own checks.
    using Handler = std::function<QCoro::Task<HTTPResponse>(HTTPRequest)>;

    // `clock` times the uptime; `defaults` say whether the helper's set-up was completed;
    // `notifications` put pairing requests before the user.
    APIRouter(ServiceControl &orchestrator, ConfigStore &config, PairingManager &pairing, Clock &clock,
              UserDefaults &defaults, Notifications &notifications);

    // Never fails: every path ends in a reply.
    QCoro::Task<HTTPResponse> handle(HTTPRequest request);

    // The server's handler: a fresh router over these collaborators for every request.
    static Handler handler(ServiceControl &orchestrator, ConfigStore &config, PairingManager &pairing, Clock &clock,
                           UserDefaults &defaults, Notifications &notifications);

private:
    std::optional<PairedClient> clientForToken(const HTTPRequest &request) const;
    bool isAuthenticated(const HTTPRequest &request) const;
    HTTPResponse handleGetStatus(bool authenticated) const;

    // Everything under "/pair": request, status poll and removal, with their own checks.
    QCoro::Task<HTTPResponse> handlePairing(const HTTPRequest &request, const QStringList &components);
    QCoro::Task<HTTPResponse> handlePairingRequest(const HTTPRequest &request);
    HTTPResponse answerPairingRequest(const HTTPRequest &request, const PairingManager::PairingResult &result);
    // A token that can't be checked while the desktop's keyring does not answer: not refused
    // (which tells a client it is no longer paired), but to be asked again shortly.
    static HTTPResponse keyringNotAnswering();
    static constexpr int kKeyringRetrySeconds = 5;
    HTTPResponse handlePairingStatus(const QString &clientId);
    HTTPResponse handlePairingRemoval(const HTTPRequest &request, const QString &clientId);

    HTTPResponse handleGetServices() const;
    HTTPResponse handleGetService(ServiceID id) const;
    QCoro::Task<HTTPResponse> handleStartService(ServiceID id);
    HTTPResponse handleStopService(ServiceID id);
    HTTPResponse handleGetConfig(ServiceID id) const;
    HTTPResponse handlePutConfig(ServiceID id, const std::optional<QByteArray> &body);
    HTTPResponse handleGetCallsign() const;
    HTTPResponse handlePutCallsign(const std::optional<QByteArray> &body);
    HTTPResponse handleGetSerialPorts() const;

    ServiceControl &m_orchestrator;
    ConfigStore &m_config;
    PairingManager &m_pairing;
    Clock &m_clock;
    UserDefaults &m_defaults;
    Notifications &m_notifications;
};

} // namespace cordavelle
