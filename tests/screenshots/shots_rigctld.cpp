#include "shots.h"

#include "core/managed_process.h"
#include "widgets/accent_style.h"
#include "widgets/service_header.h"
#include "pages/rigctld_page_fixture.h"
#include "support/local_ports.h"
#include "support/scripted_tcp_server.h"
#include "support/test_files.h"

#include <QFile>
#include <QTcpServer>

#include <QLabel>

#include <functional>
#include <memory>

namespace cordavelle::screenshots {

namespace {


const QByteArray kCatalogue = " Rig #  Mfg                    Model                   Version         Status\n"
                              "     1  Hamlib                 Dummy                   20221128.0      Stable\n"
                              "  3073  Icom                   IC-7300                 20221128.0      Stable\n"
                              "  1035  Yaesu                  FT-991                  20221128.0      Stable\n";

// The rigctld page in a state of its own: `prepare` lays out the machine, the settings and the
// installer; `act` does something on the built page before the picture.
QImage rigctldPage(const std::function<void(test::RigctldPageScene &, RigctldConfig &)> &prepare,
                   const std::function<void(test::RigctldPageScene &, RigctldPage &)> &act = {},
                   const std::function<void()> &afterPicture = {}, QSize size = {760, 1250})
{
    test::RigctldPageScene scene;
    scene.env.useSystemClock();
    scene.serialPorts = {{QStringLiteral("/dev/ttyUSB0"), QStringLiteral("ttyUSB0")},
                         {QStringLiteral("/dev/ttyACM0"), QStringLiteral("ttyACM0")}};
    scene.foundRigctld = QStringLiteral("/usr/bin/rigctld");
    scene.env.commands().respond(QStringLiteral("rigctld"), CommandResult::exited(0, kCatalogue));
    RigctldConfig config = scene.config.rigctldConfig();
    config.rigModel = 3073;
    config.serialPort = QStringLiteral("/dev/ttyUSB0");
    prepare(scene, config);
    scene.config.setRigctldConfig(config);
    ManagedProcess &process = scene.orchestrator.rigctldProcess();
    process.appendSyntheticLog(QStringLiteral("[rigctld] Starting: /usr/bin/rigctld -m 3073 -T 127.0.0.1 -t 4532 -vvvv "
                                              "-r /dev/ttyUSB0 -s 19200"));
    auto page = scene.makePage();
    // The rig catalogue of the rigctld found, which the page reads as it is made.
    await([&] { return !scene.foundRigctld || !page->state().rigModels().empty(); }, "the rig models to be listed");
    if (act) {
        act(scene, *page);
    }
    QImage picture = grabWindow(page.get(), size);
    if (afterPicture) {
        afterPicture();
    }
    // A test still under way ends before the scene's clock goes.
    await([&] { return !page->state().isTesting(); }, "the connection test to end");
    return picture;
}

void installer(test::RigctldPageScene &scene, InstallProgress::Phase phase)
{
    scene.installer.state.phase = phase;
    scene.installer.log = {QStringLiteral("[09:41:02] Fetching hamlib 4.6.2 bottle"),
                          QStringLiteral("[09:41:05] Fetching libusb 1.0.27 bottle")};
}

// Runs a connection test against `port` and waits for its result.
void testAgainst(test::RigctldPageScene &scene, RigctldPage &page, quint16 port)
{
    RigctldConfig config = scene.config.rigctldConfig();
    config.tcpPort = port;
    scene.config.setRigctldConfig(config);
    page.testConnection();
    await([&] { return !page.state().isTesting(); }, "the connection test to end");
}

} // namespace

void addRigctldShots(ShotList &shots)
{
    shots.push_back({QStringLiteral("rigctld-serial"), [] { return rigctldPage([](auto &, auto &) {}); }});
    shots.push_back({QStringLiteral("rigctld-network-bad-host"), [] {
                         return rigctldPage([](auto &scene, auto &config) {
                             config.connectionType = RigConnectionType::network;
                             config.networkHost = QStringLiteral("flex 6600");
                             scene.config.setAllowNetworkAccess(true);
                         });
                     }});
    shots.push_back({QStringLiteral("rigctld-test-ok"), [] {
                         test::ScriptedTcpServer server("14074000\n", test::ScriptedTcpServer::Then::staySilent);
                         return rigctldPage([](auto &scene, auto &) { scene.standInForRunningRigctld(); },
                                            [&](auto &scene, auto &page) { testAgainst(scene, page, server.port()); });
                     }});
    shots.push_back({QStringLiteral("rigctld-test-radio-error"), [] {
                         test::ScriptedTcpServer server("RPRT -5\n", test::ScriptedTcpServer::Then::staySilent);
                         return rigctldPage([](auto &scene, auto &) { scene.standInForRunningRigctld(); },
                                            [&](auto &scene, auto &page) { testAgainst(scene, page, server.port()); });
                     }});
    shots.push_back({QStringLiteral("rigctld-start-failed-port-taken"), [] {
                         // Another user's listener holds the port: it answers the readiness check,
                         // and rigctld ends a moment later saying why.
                         auto taken = std::make_shared<QTcpServer>();
                         taken->listen(QHostAddress::LocalHost);
                         return rigctldPage(
                             [taken](auto &scene, auto &config) {
                                 config.tcpPort = taken->serverPort();
                                 config.rigctldPath = scene.env.root() + QStringLiteral("/rigctld");
                                 test::writeProgram(config.rigctldPath,
                                                    "#!/bin/sh\necho 'Opened rig model 3073, IC-7300'\n"
                                                    "echo 'binding failed (trying next interface): Network error 98: "
                                                    "Address already in use'\n"
                                                    "echo 'main: bind error - no available interface'\nsleep 0.3\nexit 1\n");
                             },
                             [](auto &scene, RigctldPage &page) {
                                 ManagedProcess &process = scene.orchestrator.rigctldProcess();
                                 page.findChild<ServiceHeader *>()->button()->click();
                                 await([&] { return process.endOutput().size() == 3; }, "rigctld's stand-in to print three lines");
                             });
                     }});
    shots.push_back({QStringLiteral("rigctld-test-refused"), [] {
                         return rigctldPage([](auto &scene, auto &) { scene.standInForRunningRigctld(); },
                                            [](auto &scene, auto &page) { testAgainst(scene, page, test::freeTcpPort()); });
                     }});
    shots.push_back({QStringLiteral("rigctld-testing"), [] {
                         auto server = std::make_unique<test::ScriptedTcpServer>(
                             QByteArray(), test::ScriptedTcpServer::Then::staySilent);
                         return rigctldPage([](auto &scene, auto &) { scene.standInForRunningRigctld(); },
                                            [&](auto &scene, auto &page) {
                                                RigctldConfig config = scene.config.rigctldConfig();
                                                config.tcpPort = server->port();
                                                scene.config.setRigctldConfig(config);
                                                page.testConnection();
                                            },
                                            [&] { server.reset(); });
                     }});
    shots.push_back({QStringLiteral("rigctld-hamlib-not-installed"), [] {
                         return rigctldPage([](auto &scene, auto &) { scene.foundRigctld.reset(); });
                     }});
    shots.push_back({QStringLiteral("rigctld-hamlib-managed"), [] {
                         return rigctldPage([](auto &scene, auto &) {
                             scene.installer.copy = {true, QStringLiteral("4.6.2")};
                         });
                     }});
    shots.push_back({QStringLiteral("rigctld-hamlib-custom"), [] {
                         return rigctldPage([](auto &scene, auto &config) {
                             config.rigctldPath = scene.env.hostPath(QStringLiteral("/opt/hamlib-git/rigctld"));
                             test::writeProgram(config.rigctldPath);
                         });
                     }});
    // A custom program in a folder everyone may write to, as a settings file may name one.
    shots.push_back({QStringLiteral("rigctld-hamlib-custom-refused"), [] {
                         return rigctldPage([](auto &scene, auto &config) {
                             config.rigctldPath = scene.env.hostPath(QStringLiteral("/shared/rigctld"));
                             test::writeProgram(config.rigctldPath);
                             QFile::setPermissions(scene.env.hostPath(QStringLiteral("/shared")), QFileDevice::Permissions(0x7777));
                         });
                     }});
    shots.push_back({QStringLiteral("rigctld-hamlib-downloading"), [] {
                         return rigctldPage([](auto &scene, auto &) {
                             installer(scene, InstallProgress::Phase::downloading);
                             scene.installer.state.fraction = 0.5;
                         });
                     }});
    shots.push_back({QStringLiteral("rigctld-hamlib-extracting"), [] {
                         return rigctldPage([](auto &scene, auto &) { installer(scene, InstallProgress::Phase::extracting); });
                     }});
    shots.push_back({QStringLiteral("rigctld-hamlib-complete"), [] {
                         return rigctldPage([](auto &scene, auto &) {
                             installer(scene, InstallProgress::Phase::complete);
                             scene.installer.copy.version = QStringLiteral("4.6.2");
                         });
                     }});
    shots.push_back({QStringLiteral("rigctld-hamlib-error"), [] {
                         return rigctldPage([](auto &scene, auto &) {
                             installer(scene, InstallProgress::Phase::failed);
                             scene.installer.state.error = QStringLiteral(
                                 "Could not download the Hamlib bottle: the server answered 503 Service Unavailable. "
                                 "Check the network connection and try again.");
                         });
                     }});
    // A bottle of another digest, in a narrow window: the digests are long unbroken words.
    shots.push_back({QStringLiteral("rigctld-hamlib-digest-error-narrow"), [] {
                         return rigctldPage(
                             [](auto &scene, auto &) {
                                 installer(scene, InstallProgress::Phase::failed);
                                 scene.installer.state.error = QStringLiteral(
                                     "The SHA-256 of the hamlib bottle is not the one its release information gives: "
                                     "expected %1, got %2")
                                     .arg(test::sha256Hex("hamlib"), test::sha256Hex("another"));
                             },
                             {}, {}, {470, 900});
                     }});
}

} // namespace cordavelle::screenshots
