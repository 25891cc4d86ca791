#include "api/api_router.h"
#include "api/pairing_manager.h"
#include "app/orchestrator_service_control.h"
#include "app/service_startup.h"
#include "base/helper_logger.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "platform/platform.h"
#include "platform/termination_signals.h"
#include "radio/rig_control_server_discovery.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

using namespace cordavelle;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Cordavelle Helper"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HELPER_VERSION));
    std::printf("Cordavelle Helper %s\n", HELPER_VERSION);
    std::fflush(stdout);

    // A sandboxed run, such as the helper's own tests, keeps every tool that the helper names by
    // a fixed path (pkill, lsof, wineserver, …) below this folder, so that it never signals the
    // processes of the machine it runs on.
    const QString toolsRoot = qEnvironmentVariable("CORDAVELLE_HELPER_TOOLS_ROOT");
    if (!toolsRoot.isEmpty()) {
        Platform::current().setToolLocator(std::make_shared<RootedToolLocator>(toolsRoot));
    }

    // SIGINT and SIGTERM quit the way a user's quit does, so that no service outlives the helper.
    TerminationSignals termination;
    ConfigStore &config = ConfigStore::shared();
    PairingManager &pairing = PairingManager::shared();
    ServiceOrchestrator &orchestrator = ServiceOrchestrator::shared();
    OrchestratorServiceControl services(orchestrator);
    ServiceStartup startup(config, orchestrator, pairing, RigControlServerDiscovery::shared());
    startup.setRequestHandler(APIRouter::handler(services, config, pairing));
    QObject::connect(&termination, &TerminationSignals::received, &startup, [&startup](int signalNumber) {
        if (!startup.isQuitting()) {
            HelperLogger::info(QStringLiteral("Received %1; quitting").arg(signalNumber == SIGINT ? "SIGINT" : "SIGTERM"));
        }
        startup.requestQuit();
    });
    QMetaObject::invokeMethod(&startup, &ServiceStartup::launch, Qt::QueuedConnection);
    return QCoreApplication::exec();
}
