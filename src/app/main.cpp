#include "api/api_router.h"
#include "api/http_server.h"
#include "api/pairing_manager.h"
#include "api/service_control.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"

#include <QCoreApplication>

#include <cstdio>

using namespace cordavelle;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Cordavelle Helper"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HELPER_VERSION));
    std::printf("Cordavelle Helper %s\n", HELPER_VERSION);
    std::fflush(stdout);

    ConfigStore &config = ConfigStore::shared();
    PairingManager &pairing = PairingManager::shared();
    pairing.warmTokenCache();
    OrchestratorServiceControl services(ServiceOrchestrator::shared());

    HTTPServer server;
    server.setNetworkAccessPolicy([&config] { return config.allowNetworkAccess(); });
    server.start(HTTPServer::apiPortOrDefault(config.apiPort()), APIRouter::handler(services, config, pairing));
    return app.exec();
}
