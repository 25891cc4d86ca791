#include "api/api_router.h"
#include "api/pairing_manager.h"
#include "widgets/alert_presenter.h"
#include "app/application_icon.h"
#include "app/helper_app.h"
#include "app/helper_setup_state.h"
#include "app/microphone_permission.h"
#include "main/helper_pages.h"
#include "pages/page_surroundings.h"
#include "app/settings_opener.h"
#include "app/single_instance.h"
#include "core/orchestrator_service_control.h"
#include "startup/service_startup.h"
#include "base/helper_logger.h"
#include "core/config_store.h"
#include "core/experimental_features.h"
#include "core/service_orchestrator.h"
#include "core/wine_prefix_hold.h"
#include "install/dependency_update_nudge.h"
#include "install/direwolf_installer.h"
#include "install/hamlib_installer.h"
#include "install/legacy_direwolf_cleanup.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"
#include "radio/audio_device_manager.h"
#include "radio/direwolf_discovery.h"
#include "radio/keepalive_request_advertiser.h"
#include "platform/child_process.h"
#include "platform/platform.h"
#include "platform/stream_socket.h"
#include "platform/termination_signals.h"
#include "radio/rig_control_server_discovery.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoroTask>
#include <QFileInfo>
#include <QSessionManager>
#include <QSystemTrayIcon>

#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <memory>

#include <unistd.h>

using namespace cordavelle;
using namespace std::chrono_literals;

namespace {

// Windows need somewhere to go: an X or Wayland display, or a platform named outright (such as
// the offscreen one).
bool hasDisplay()
{
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
           !qEnvironmentVariableIsEmpty("DISPLAY");
}

// Runs when the process ends through exit(): Qt ends it so, from its own code, when the display
// goes away ("The X11 connection broke"), past the helper's quit. After a quit nothing is left.
void stopServicesLeftRunning()
{
    if (!ChildProcess::anyRunning()) {
        return;
    }
    HelperLogger::info(QStringLiteral("The helper is ending without its quit: stopping every service"));
    ChildProcess::endAllNow(2s);
    Platform::current().logSink().releaseHeldLines();
}

struct Options {
    enum class Action { run, help, version, refuse };
    Action action = Action::run;
    bool headless = false;
    qint64 afterPid = 0;
    QString error;
};

// Qt's own options (-platform, -display, -session, …) are gone from `arguments` once the
// application object has taken them.
Options parseOptions(QCommandLineParser &parser, const QStringList &arguments)
{
    parser.setApplicationDescription(
        QStringLiteral("Runs the sound-card modems, rig control and packet TNC that radio e-mail clients use."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption headless(QStringLiteral("headless"),
                                      QStringLiteral("Run without windows, even with a display."));
    const QCommandLineOption afterPid(QStringLiteral("after-pid"),
                                      QStringLiteral("Wait for process <pid> to end first (a reset's restart)."),
                                      QStringLiteral("pid"));
    // "-platform" is one unknown option, not eight unknown letters.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({help, version, headless, afterPid});

    Options options;
    const auto refuse = [&options](QString error) {
        options.action = Options::Action::refuse;
        options.error = std::move(error);
        return options;
    };
    if (!parser.parse(arguments)) {
        return refuse(parser.errorText());
    }
    if (!parser.positionalArguments().isEmpty()) {
        return refuse(QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().first()));
    }
    if (parser.isSet(help)) {
        options.action = Options::Action::help;
        return options;
    }
    if (parser.isSet(version)) {
        options.action = Options::Action::version;
        return options;
    }
    options.headless = parser.isSet(headless);
    if (parser.isSet(afterPid)) {
        bool ok = false;
        options.afterPid = parser.value(afterPid).toLongLong(&ok);
        if (!ok || options.afterPid <= 0) {
            return refuse(QStringLiteral("Invalid process id '%1' for --after-pid.").arg(parser.value(afterPid)));
        }
    }
    return options;
}

// Settles what the command line asks for other than a run: true with the exit status in `status`.
bool answerWithoutRunning(const Options &options, const QCommandLineParser &parser, int &status)
{
    switch (options.action) {
    case Options::Action::run:
        return false;
    case Options::Action::help:
        std::fputs(qPrintable(parser.helpText()), stdout);
        status = 0;
        return true;
    case Options::Action::version:
        std::printf("Cordavelle Helper %s\n", HELPER_VERSION);
        status = 0;
        return true;
    case Options::Action::refuse:
        std::fprintf(stderr, "%s: %s\n\n%s", qPrintable(QFileInfo(QCoreApplication::arguments().value(0)).fileName()),
                     qPrintable(options.error), qPrintable(parser.helpText()));
        status = 2;
        return true;
    }
    return false;
}

void logSignal(int signalNumber)
{
    HelperLogger::info(QStringLiteral("Received %1; quitting").arg(signalNumber == SIGINT ? "SIGINT" : "SIGTERM"));
}

// Everything the running helper is made of, built once it is the one instance.
struct Helper {
    std::unique_ptr<OrchestratorServiceControl> services;
    std::unique_ptr<ServiceStartup> startup; // without windows
    std::unique_ptr<MessageBoxAlertPresenter> alerts;
    std::unique_ptr<HelperPages> pages;
    GrantedMicrophonePermission microphone;
    SystemPageSurroundings surroundings;
    std::unique_ptr<CordavelleHelperApp> app; // with windows
    bool quitRequested = false;
};

void quit(Helper &helper, int signalNumber)
{
    if (helper.app) {
        if (!helper.app->delegate().isTerminating()) {
            logSignal(signalNumber);
        }
        helper.app->delegate().requestTermination(HelperAppDelegate::QuitSource::signal);
    } else if (helper.startup) {
        if (!helper.startup->isQuitting()) {
            logSignal(signalNumber);
        }
        helper.startup->requestQuit();
    } else if (!helper.quitRequested) {
        // Not started yet: nothing to stop.
        helper.quitRequested = true;
        logSignal(signalNumber);
        QCoreApplication::exit(0);
    }
}

QCoro::Task<void> begin(Helper &helper, SingleInstance &instance, Options options, bool windowed)
{
    if (options.afterPid > 0) {
        // A reset's new instance: the old one is still stopping its services.
        co_await SingleInstance::waitForProcessToEnd(options.afterPid, 30s, Platform::current().clock());
    }
    if (helper.quitRequested) {
        co_return;
    }
    if (!instance.claim()) {
        QCoreApplication::exit(0);
        co_return;
    }

    ConfigStore &config = ConfigStore::shared();
    PairingManager &pairing = PairingManager::shared();
    ServiceOrchestrator &orchestrator = ServiceOrchestrator::shared();
    RigControlServerDiscovery &discovery = RigControlServerDiscovery::shared();
    helper.services = std::make_unique<OrchestratorServiceControl>(orchestrator);
    const auto handler = APIRouter::handler(*helper.services, config, pairing, Platform::current().clock(),
                                            Platform::current().standardDefaults(), Platform::current().notifications());

    if (windowed) {
        helper.alerts = std::make_unique<MessageBoxAlertPresenter>();
        Platform &platform = Platform::current();
        UserDefaults &defaults = platform.standardDefaults();
        DependencyUpdateNudge &updateNudge = DependencyUpdateNudge::shared();
        const AppContext context{config,
                                 orchestrator,
                                 pairing,
                                 discovery,
                                 defaults,
                                 *helper.alerts,
                                 HelperSetupState::shared(),
                                 SettingsOpener::shared(),
                                 ExperimentalFeatureManager::shared(),
                                 updateNudge,
                                 WinePrefixHold::shared(),
                                 platform};
        const SetupContext setup{SetupInstallers{WineInstaller::shared(), WinePrefixManager::shared(),
                                                 VARAInstaller::hf(), VARAInstaller::fm(), HamlibInstaller::shared(),
                                                 DirewolfInstaller::shared(), DirewolfDiscovery::shared(), updateNudge},
                                 config,
                                 defaults,
                                 *helper.alerts,
                                 HelperSetupState::shared(),
                                 platform.appActivation()};
        const ServicePagesContext pages{orchestrator,
                                        config,
                                        discovery,
                                        defaults,
                                        *helper.alerts,
                                        platform.clock(),
                                        platform.commandRunner(),
                                        AudioDeviceManager::shared(),
                                        KeepaliveRequestAdvertiser::shared(),
                                        LegacyDirewolfCleanup::shared(),
                                        VARAInstaller::hf(),
                                        VARAInstaller::fm(),
                                        HamlibInstaller::shared(),
                                        DirewolfDiscovery::shared(),
                                        helper.surroundings};
        helper.pages = std::make_unique<HelperPages>(setup, pages);
        helper.app = std::make_unique<CordavelleHelperApp>(
            context, setup.installers, *helper.pages, helper.microphone,
            [] { return QSystemTrayIcon::isSystemTrayAvailable(); }, relaunchAfterThisProcess);
        HelperAppDelegate &delegate = helper.app->delegate();
        delegate.startup().setRequestHandler(handler);
        QObject::connect(&instance, &SingleInstance::reopenRequested, &delegate, &HelperAppDelegate::handleReopen);
        QObject::connect(qApp, &QGuiApplication::applicationStateChanged, &delegate, [&delegate](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive) {
                delegate.applicationDidBecomeActive();
                Platform::current().appActivation().reportBecameActive();
            }
        });
        // The desktop session ends: no question can be asked any more.
        QObject::connect(qApp, &QGuiApplication::commitDataRequest, &delegate, [&delegate](QSessionManager &) {
            delegate.requestTermination(HelperAppDelegate::QuitSource::sessionEnd);
        });
        delegate.applicationDidFinishLaunching();
    } else {
        helper.startup = std::make_unique<ServiceStartup>(config, orchestrator, pairing, discovery, Platform::current());
        helper.startup->setRequestHandler(handler);
        QObject::connect(&instance, &SingleInstance::reopenRequested, [] {
            HelperLogger::info(QStringLiteral("Another launch asked for a window; this helper runs without windows"));
        });
        helper.startup->launch();
    }
}

} // namespace

int main(int argc, char **argv)
{
    // Every API connection and child pipe is a descriptor; the default soft limit of 1024 is
    // far below what the system allows a long-running server.
    stream_socket::raiseDescriptorLimit();
    // Which application object to make depends on the options, yet only that object takes Qt's
    // own options away: a first reading decides, the second one counts. Help and the version
    // need no display.
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i) {
        rawArguments << QString::fromLocal8Bit(argv[i]);
    }
    QCommandLineParser firstParser;
    const Options first = parseOptions(firstParser, rawArguments);
    const bool headless = first.action == Options::Action::run ? first.headless
                                                                : rawArguments.contains(QStringLiteral("--headless"));
    const bool answerOnly = first.action == Options::Action::help || first.action == Options::Action::version;
    const bool windowed = !answerOnly && !headless && hasDisplay();
    std::unique_ptr<QCoreApplication> application =
        windowed ? std::make_unique<QApplication>(argc, argv) : std::make_unique<QCoreApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Cordavelle Helper"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HELPER_VERSION));
    QCommandLineParser parser;
    const Options options = parseOptions(parser, QCoreApplication::arguments());
    if (int status = 0; answerWithoutRunning(options, parser, status)) {
        return status;
    }
    if (windowed) {
        QApplication::setWindowIcon(applicationIcon());
        // Ties the windows to the installed menu entry (the Wayland app id), whose icon they share.
        QGuiApplication::setDesktopFileName(kApplicationIdentifier);
    }
    std::printf("Cordavelle Helper %s\n", HELPER_VERSION);
    std::fflush(stdout);
    // Log lines go out once per event-loop turn rather than one system call each.
    Platform::current().logSink().holdLinesUntilIdle();
    // Every launch check of a program in the user's own group-writable folders asks who that
    // group holds, which takes reading the whole user database: read it while the helper starts.
    readOwnGroupsAhead(Platform::current().accounts(), ::geteuid());

    // A sandboxed run, such as the helper's own tests, keeps every tool that the helper names by
    // a fixed path (pkill, lsof, wineserver, …) below this folder, so that it never signals the
    // processes of the machine it runs on.
    const QString toolsRoot = qEnvironmentVariable("CORDAVELLE_HELPER_TOOLS_ROOT");
    if (!toolsRoot.isEmpty()) {
        Platform::current().setToolLocator(std::make_shared<RootedToolLocator>(toolsRoot));
    }

    // SIGINT and SIGTERM quit the way a user's quit does, so that no service outlives the helper.
    TerminationSignals termination;
    std::atexit(stopServicesLeftRunning);
    Helper helper;
    QObject::connect(&termination, &TerminationSignals::received, [&helper](int signalNumber) { quit(helper, signalNumber); });
    // Settings and the support folder name the programs the helper runs: no other user of this
    // computer may read or change them, also those an earlier version left open.
    for (const QString &open : Platform::current().keepStoredFilesPrivate()) {
        HelperLogger::error(QStringLiteral("Could not make %1 private to this user").arg(open));
    }
    SingleInstance instance(SingleInstance::socketPathFor(Platform::current().paths()));
    QMetaObject::invokeMethod(
        application.get(), [&] { begin(helper, instance, options, windowed); }, Qt::QueuedConnection);
    const int status = QCoreApplication::exec();
    // Windows go before the application object.
    helper.app.reset();
    Platform::current().logSink().releaseHeldLines();
    return status;
}
