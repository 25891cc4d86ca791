#include "shots.h"

#include "base/helper_places.h"
#include "core/managed_process.h"
#include "pages/direwolf_page_fixture.h"
#include "support/task_outcome.h"
#include "support/test_files.h"

#include <functional>
#include <stdexcept>

namespace cordavelle::screenshots {

namespace {

// The Direwolf page in a state of its own: `prepare` lays out the machine and the settings; with
// `start`, Direwolf is started from them as a user would.
QImage direwolfPage(const std::function<void(test::DirewolfPageScene &, DirewolfConfig &)> &prepare, bool start = false)
{
    test::DirewolfPageScene scene;
    DirewolfConfig config;
    config.callsign = QStringLiteral("N0CALL");
    config.ssid = 2;
    config.pttMethod = DirewolfPTTMethod::vox();
    scene.env.audio().add(1, QStringLiteral("plughw:CARD=Device,DEV=0"), QStringLiteral("plughw:CARD=Device,DEV=0"),
                          QStringLiteral("USB Audio Device"), 1, 1);
    scene.env.audio().add(2, QStringLiteral("default"), QStringLiteral("default"), QStringLiteral("ALSA"), 1, 1);
    scene.audio.refreshDevices();
    prepare(scene, config);
    scene.config.setDirewolfConfig(config);
    ManagedProcess &process = scene.orchestrator.direwolfProcess();
    auto page = scene.makePage();
    if (!start) {
        process.appendSyntheticLog(QStringLiteral("[Direwolf] Starting: /usr/bin/direwolf -c direwolf.conf -t 0"));
        process.appendSyntheticLog(QStringLiteral("Ready to accept KISS TCP client application 0 on port 8001 ..."));
    } else {
        auto started = test::track(scene.orchestrator.startService(ServiceID::direwolf));
        const auto ended = [&] { return started->done && !process.endOutput().isEmpty(); };
        // The stand-in runs in real time, which the start's port wait would outrun on a busy
        // machine: no virtual time passes while it starts and has not ended yet.
        const auto starting = [&] { return process.state() == ServiceRunState::starting && process.endOutput().isEmpty(); };
        bool settled = false;
        bool waiting = true;
        while (waiting && !settled) {
            if (starting()) {
                const auto hold = scene.env.clock().hold();
                waiting = scene.env.clock().runUntil([&] { return ended() || !starting(); }, std::chrono::seconds(0),
                                                     std::chrono::seconds(30));
            } else {
                waiting = scene.env.clock().runUntil([&] { return ended() || starting(); }, std::chrono::seconds(60),
                                                     std::chrono::seconds(30));
            }
            settled = ended();
        }
        if (!settled) {
            throw std::runtime_error("waited in vain for Direwolf's stand-in to start and print; the log: " +
                                     scene.env.log().messages().join(QLatin1Char('\n')).toStdString());
        }
    }
    return grabWindow(page.get(), {760, 1100});
}

void systemDirewolf(test::DirewolfPageScene &scene)
{
    test::writeProgram(scene.env.hostPath(QStringLiteral("/usr/bin/apt-get")));
    test::writeProgram(scene.env.hostPath(QStringLiteral("/usr/bin/direwolf")));
}

} // namespace

void addDirewolfShots(ShotList &shots)
{
    shots.push_back({QStringLiteral("direwolf-installed-vox"), [] {
                         return direwolfPage([](auto &scene, auto &) { systemDirewolf(scene); });
                     }});
    shots.push_back({QStringLiteral("direwolf-start-failed-no-audio-device"), [] {
                         return direwolfPage([](auto &scene, auto &config) {
                             config.direwolfPath = scene.env.root() + QStringLiteral("/direwolf");
                             test::writeProgram(config.direwolfPath,
                                                "#!/bin/sh\necho 'Dire Wolf version 1.6'\n"
                                                "echo 'Audio device for both receive and transmit: plughw:CARD=Device,DEV=0'\n"
                                                "echo 'Could not open audio device plughw:CARD=Device,DEV=0 for input'\n"
                                                "echo 'No such file or directory'\n"
                                                "echo 'Pointless to continue without audio device.'\nexit 1\n");
                         }, true);
                     }});
    shots.push_back({QStringLiteral("direwolf-audio-notes-per-picker"), [] {
                         // Two inputs share a name and one is picked; the output follows the input:
                         // each picker's note stands under it.
                         return direwolfPage([](auto &scene, auto &config) {
                             systemDirewolf(scene);
                             scene.env.audio().add(3, QStringLiteral("plughw:CARD=Device_1,DEV=0"),
                                                   QStringLiteral("plughw:CARD=Device,DEV=0"),
                                                   QStringLiteral("C-Media USB Audio"), 1, 0);
                             scene.audio.refreshDevices();
                             config.audioDevice = DirewolfAudioDevice::custom;
                             config.customAudioDeviceUID = QStringLiteral("plughw:CARD=Device_1,DEV=0");
                         });
                     }});
    shots.push_back({QStringLiteral("direwolf-not-installed"), [] { return direwolfPage([](auto &, auto &) {}); }});
    shots.push_back({QStringLiteral("direwolf-not-installed-apt"), [] {
                         return direwolfPage([](auto &scene, auto &) {
                             test::writeProgram(scene.env.hostPath(QStringLiteral("/usr/bin/apt-get")));
                         });
                     }});
    shots.push_back({QStringLiteral("direwolf-ptt-serial"), [] {
                         return direwolfPage([](auto &scene, auto &config) {
                             systemDirewolf(scene);
                             scene.serialPorts = {{QStringLiteral("/dev/ttyUSB0"), QStringLiteral("ttyUSB0")}};
                             config.pttMethod = DirewolfPTTMethod::serial(QStringLiteral("/dev/ttyACM3"));
                         });
                     }});
    shots.push_back({QStringLiteral("direwolf-ptt-rigctld-with-nudge"), [] {
                         return direwolfPage([](auto &scene, auto &config) {
                             systemDirewolf(scene);
                             scene.advertise(QStringLiteral("IC-7300"), 4533);
                             config.pttMethod = DirewolfPTTMethod::rigctld();
                         });
                     }});
    shots.push_back({QStringLiteral("direwolf-ptt-native-waiting"), [] {
                         return direwolfPage([](auto &scene, auto &config) {
                             systemDirewolf(scene);
                             config.pttMethod = DirewolfPTTMethod::nativeCorvexa();
                             config.nativeRigControlRadioName = QStringLiteral("IC-7300");
                         });
                     }});
    shots.push_back({QStringLiteral("direwolf-ptt-native-advertised"), [] {
                         return direwolfPage([](auto &scene, auto &config) {
                             systemDirewolf(scene);
                             scene.advertise(QStringLiteral("IC-7300"), 4533);
                             config.pttMethod = DirewolfPTTMethod::nativeCorvexa();
                             config.nativeRigControlRadioName = QStringLiteral("IC-7300");
                         });
                     }});
    shots.push_back({QStringLiteral("direwolf-ptt-native-bonjour-gone"), [] {
                         return direwolfPage([](auto &scene, auto &config) {
                             systemDirewolf(scene);
                             scene.advertise(QStringLiteral("IC-7300"), 4533);
                             scene.env.bonjour().stopDaemon();
                             config.pttMethod = DirewolfPTTMethod::nativeCorvexa();
                             config.nativeRigControlRadioName = QStringLiteral("IC-7300");
                         });
                     }});
    shots.push_back({QStringLiteral("direwolf-legacy-cleanup-banner"), [] {
                         return direwolfPage([](auto &scene, auto &) {
                             systemDirewolf(scene);
                             test::writeProgram(places::legacyDirewolfBinary());
                         });
                     }});
    shots.push_back({QStringLiteral("direwolf-legacy-only"), [] {
                         return direwolfPage([](auto &, auto &) { test::writeProgram(places::legacyDirewolfBinary()); });
                     }});
    shots.push_back({QStringLiteral("direwolf-custom-path"), [] {
                         return direwolfPage([](auto &scene, auto &config) {
                             systemDirewolf(scene);
                             config.direwolfPath = scene.env.hostPath(QStringLiteral("/src/direwolf/build/src/direwolf"));
                             test::writeProgram(config.direwolfPath);
                         });
                     }});
}

} // namespace cordavelle::screenshots
