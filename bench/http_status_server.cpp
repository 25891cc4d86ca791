// The API server that bench/http_status.sh loads with wrk: the real HTTP server and router over
// the real configuration store and pairing manager, on a free loopback port that it prints as
// "listening <port>". The services it reports are all stopped; GET /status without a token, the
// path under load, asks nothing of them.

#include "api/api_router.h"
#include "api/http_server.h"
#include "api/pairing_manager.h"
#include "core/config_store.h"

#include <QCoreApplication>
#include <QTcpServer>

#include <cstdio>

namespace {

using namespace cordavelle;

class StoppedServices final : public ServiceControl {
public:
    ServiceStatus status(ServiceID id) const override
    {
        ServiceStatus s;
        s.id = toRaw(id);
        s.displayName = displayName(id);
        return s;
    }
    ServiceLifecycleMode lifecycleMode(ServiceID) const override { return ServiceLifecycleMode::onDemand; }
    QCoro::Task<void> startService(ServiceID) override { co_return; }
    QCoro::Task<void> prepareToStopService(ServiceID) override { co_return; }
    void stopService(ServiceID) override {}
    void recordActivity(ServiceID) override {}
    void stopServiceIdle(ServiceID) override {}
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "no free port\n");
        return 1;
    }
    const quint16 port = probe.serverPort();
    probe.close();

    StoppedServices services;
    HTTPServer server;
    server.setNetworkAccessPolicy([] { return ConfigStore::shared().allowNetworkAccess(); });
    server.start(port, APIRouter::handler(services, ConfigStore::shared(), PairingManager::shared()));
    if (!server.isRunning()) {
        std::fprintf(stderr, "could not listen on %u\n", port);
        return 1;
    }
    std::printf("listening %u\n", port);
    std::fflush(stdout);
    return app.exec();
}
