#pragma once

#include "api/bonjour_advertiser.h"
#include "api/http_server.h"

#include <QCoroTask>
#include <QObject>

#include <functional>
#include <memory>

namespace cordavelle {

class ConfigStore;
class PairingManager;
class NetworkInterfaces;
class Notifications;
class PairingNotificationDelegate;
class Platform;
class RigControlServerDiscovery;
class ServiceOrchestrator;

// What the helper does when it has finished launching, apart from its windows: pairing state,
// the clean-up of what an earlier run left behind, the HTTP API and its Bonjour advertisement,
// the always-on services, the idle monitor and the browsing for the client's rig-control
// servers. And the way out again: the bounded stop of every service before the helper exits.
// The headless helper runs it from main(); the application delegate owns one as well.
//
// Main thread only.
class ServiceStartup final : public QObject {
    Q_OBJECT
public:
    // Told when the API server could not listen, with the configured port and the reason.
    using FailureReporter = std::function<void(int port, const QString &error)>;

    // The server waits on the platform's clock; Bonjour, the machine's name and notifications come
    // from it too.
    ServiceStartup(ConfigStore &config, ServiceOrchestrator &orchestrator, PairingManager &pairing,
                   RigControlServerDiscovery &discovery, Platform &platform, QObject *parent = nullptr);
    ~ServiceStartup() override;

    // Start-up of services, then browsing for the client's rig-control servers. Call once.
    void launch();
    // Start-up of services alone, in its fixed order. Call once.
    void startServices();

    // Quitting: stops every service, waiting at most ServiceOrchestrator::kStopAllTimeLimit for
    // the children to be gone, then ends the event loop. Later calls while it runs do nothing.
    void requestQuit();
    bool isQuitting() const { return m_isQuitting; }
    // The stop alone, for callers that end the program themselves.
    QCoro::Task<void> stopServices();

    // The API's request handler (the router's). Without one every request is answered with 404; a
    // handler set after the start serves the next request.
    void setRequestHandler(HTTPServer::Handler handler) { m_requestHandler = std::move(handler); }
    // Replaces the default reaction to an API server that can't listen, which is a log line.
    void setFailureReporter(FailureReporter reporter) { m_failureReporter = std::move(reporter); }

    HTTPServer &httpServer() { return m_httpServer; }
    BonjourAdvertiser &bonjourAdvertiser() { return m_bonjourAdvertiser; }
    // Made by the start-up, when notifications are set up.
    PairingNotificationDelegate *notificationDelegate() const { return m_notificationDelegate.get(); }

    // The version that the advertisement carries: the application's, else "1.0".
    static QString version();

Q_SIGNALS:
    // The background clean-up of stale processes and staging folders has ended.
    void cleanupFinished();
    // Quitting has stopped the services and is about to end the event loop.
    void aboutToExit();

private:
    static QCoro::Task<void> cleanUpAfterEarlierRun(QPointer<ServiceStartup> self, ServiceOrchestrator &orchestrator);
    static QCoro::Task<void> quit(QPointer<ServiceStartup> self);
    void reportServerFailure(const QString &error);

    ConfigStore &m_config;
    ServiceOrchestrator &m_orchestrator;
    PairingManager &m_pairing;
    RigControlServerDiscovery &m_discovery;
    Notifications &m_notifications;
    NetworkInterfaces &m_networkInterfaces;
    std::unique_ptr<PairingNotificationDelegate> m_notificationDelegate;
    HTTPServer m_httpServer;
    BonjourAdvertiser m_bonjourAdvertiser;
    HTTPServer::Handler m_requestHandler;
    FailureReporter m_failureReporter;
    bool m_isQuitting = false;
};

} // namespace cordavelle
