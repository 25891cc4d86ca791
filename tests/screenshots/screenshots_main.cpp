// Renders every window, page, menu and dialog of the helper with representative states to PNG
// files, offscreen. Fails when one cannot be built or comes out empty.

#include "shots.h"

#include "widgets/status_look.h"
#include "base/helper_places.h"
#include "core/rigctld_start_path.h"

#include "support/event_wait.h"
#include "support/fixed_port_lock.h"
#include "support/manual_clock.h"
#include "support/task_outcome.h"
#include "support/test_files.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QFileInfo>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

using namespace cordavelle;

namespace {

// A modem's program in the prefix and its record, as its installer leaves them.
void installVARA(VARAVariant variant, VARAConfigFields &record, const QString &version, const QString &wine)
{
    const QString program = places::varaExecutable(variant);
    QDir().mkpath(QFileInfo(program).path());
    test::writeFile(program, "MZ");
    record.varaPath = program;
    record.installedVersion = version;
    record.winePath = wine;
}

// An image with at least two colours: something was drawn.
bool hasContent(const QImage &image)
{
    if (image.isNull() || image.width() < 8 || image.height() < 8) {
        return false;
    }
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2) {
            if (image.pixel(x, y) != first) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

namespace cordavelle::screenshots {

void await(const std::function<bool()> &done, const char *what, std::chrono::milliseconds limit)
{
    if (!test::processEventsUntil(done, limit)) {
        throw std::runtime_error(std::string("waited ") + std::to_string(limit.count()) + " ms in vain for " + what);
    }
}

void awaitAtEnd(const std::function<bool()> &done, const char *what, std::chrono::milliseconds limit)
{
    if (!test::processEventsUntil(done, limit)) {
        std::fprintf(stderr, "screenshots: waited %lld ms in vain for %s\n", static_cast<long long>(limit.count()), what);
        std::_Exit(1);
    }
}

void runAsStarted(ManagedProcess &process, const QString &program, const QStringList &arguments,
                  const QString &stayUpWhen)
{
    // Anything else the pictures run the program for (a version, a list) ends at once.
    test::writeProgram(program, "#!/bin/sh\ncase \"$*\" in " + stayUpWhen.toUtf8() + ") exec sleep 600;; esac\n");
    auto started = test::track(process.start(program, arguments));
    await([&] { return started->done; }, "a stand-in to start");
    if (!started->error) {
        process.markRunning();
    }
}

QImage grabWindow(QWidget *widget, QSize size)
{
    if (size.isValid()) {
        widget->resize(size);
    }
    widget->show();
    // Laying out and every refresh a change scheduled come as queued events: once none is left,
    // the picture is what the screen would show.
    test::ManualClock::processEvents();
    const QImage image = widget->grab().toImage();
    widget->hide();
    return image;
}

ShotEnvironment::ShotEnvironment()
{
    // Wine and rigctld found, the prefix made and VARA HF installed into it as its installer
    // leaves it, both VARA modems installed.
    const QString wine = env.hostPath(QStringLiteral("/usr/bin/wine"));
    test::writeProgram(wine);
    const QString rigctld = env.hostPath(QStringLiteral("/usr/bin/rigctld"));
    test::writeProgram(rigctld);
    const QString system32 = places::winePrefix() + QStringLiteral("/drive_c/windows/system32/");
    QDir().mkpath(system32);
    test::writeFile(system32 + QStringLiteral("msvbvm60.dll"), "MZ");
    test::writeFile(system32 + QStringLiteral("pdh.dll"), "MZ");
    VARAConfig hfRecord = config.varaConfig();
    installVARA(VARAVariant::hf, hfRecord, QStringLiteral("4.8.7"), wine);
    config.setVaraConfig(hfRecord);

    DirewolfConfig direwolf = config.direwolfConfig();
    direwolf.lifecycleMode = ServiceLifecycleMode::disabled;
    config.setDirewolfConfig(direwolf);
    // VARA FM installed too, and started as a user would start it, under a Wine that cannot run
    // it; then VARA HF, which stops it.
    const QString brokenWine = env.hostPath(QStringLiteral("/usr/local/bin/wine"));
    test::writeProgram(brokenWine, "#!/bin/sh\necho 'wine: could not load kernel32.dll, status c0000135' >&2\nexit 1\n");
    VARAFMConfig fmRecord = config.varaFMConfig();
    installVARA(VARAVariant::fm, fmRecord, QStringLiteral("4.3.9"), brokenWine);
    config.setVaraFMConfig(fmRecord);
    {
        const test::VaraPortsLock varaPorts;
        auto fmStart = test::track(orchestrator.startService(ServiceID::varaFM));
        // This start does not end in the scene (its clock stands still): the pictures show it as
        // far as it gets in a few seconds.
        test::processEventsFor(std::chrono::seconds(5));
    }
    ManagedProcess &hf = orchestrator.process(ServiceID::varaHF);
    hf.appendSyntheticLog(QStringLiteral("[VARA] Starting: wine VARA.exe"));
    runAsStarted(hf, wine, {places::varaExecutable(VARAVariant::hf)}, QStringLiteral("*.exe"));
    hf.appendSyntheticLog(QStringLiteral("[VARA] Command port 8300 is answering"));
    runAsStarted(orchestrator.process(ServiceID::rigctld), rigctld,
                 RigctldStartPath::arguments(config.rigctldConfig(), QStringLiteral("127.0.0.1")), QStringLiteral("*-t*"));
    int address = 10;
    for (const char *host : {"shack-laptop", "field-tablet", "kitchen-pc"}) {
        test::runToEnd(pairing.requestPairing(QString::fromLatin1(host) + QStringLiteral("-id"), QString::fromLatin1(host),
                               QStringLiteral("Linux"), QStringLiteral("192.168.1.%1").arg(address++)));
    }
    env.clock().advance(std::chrono::seconds(754));
}

ShotEnvironment::~ShotEnvironment()
{
    for (ServiceID id : allCases<ServiceID>()) {
        orchestrator.process(id).stop();
    }
    awaitAtEnd(
        [&] {
            return std::ranges::none_of(allCases<ServiceID>(), [&](ServiceID id) {
                return orchestrator.process(id).state() == ServiceRunState::stopping;
            });
        },
        "every service to stop");
}

} // namespace cordavelle::screenshots

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Windows open within their screen, and the offscreen screen is 800 pixels square: a screen
    // of a large desktop's size lets every picture show its window whole.
    QTemporaryDir screenConfig;
    if (qgetenv("QT_QPA_PLATFORM") == "offscreen" && screenConfig.isValid()) {
        const QString config = screenConfig.filePath(QStringLiteral("screen.json"));
        QFile file(config);
        if (file.open(QIODevice::WriteOnly) &&
            file.write(R"({"screens": [{"name": "Pictures", "x": 0, "y": 0, "width": 2560, "height": 2048}]})") > 0 &&
            file.flush()) {
            qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + QFile::encodeName(config));
        }
    }
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Cordavelle Helper"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HELPER_VERSION));
    ensureIconTheme();
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "screenshots: cannot make %s\n", qPrintable(folder));
        return 1;
    }

    screenshots::ShotEnvironment scene;
    screenshots::ShotList shots;
    screenshots::addViewShots(shots, scene);
    screenshots::addAppShots(shots, scene);
    screenshots::addSettingsShots(shots, scene);
    screenshots::addDirewolfShots(shots);
    screenshots::addRigctldShots(shots);
    screenshots::addWizardShots(shots, scene);
    screenshots::addVARAShots(shots);
    screenshots::addChecklistShots(shots);
    screenshots::addWizardStepShots(shots);

    int failures = 0;
    for (const auto &shot : shots) {
        const QString path = folder + '/' + shot.name + QStringLiteral(".png");
        QImage image;
        try {
            image = shot.render();
        } catch (const std::exception &e) {
            std::fprintf(stderr, "screenshots: %s could not be built: %s\n", qPrintable(shot.name), e.what());
            ++failures;
            continue;
        }
        if (!hasContent(image)) {
            std::fprintf(stderr, "screenshots: %s is empty\n", qPrintable(shot.name));
            ++failures;
            continue;
        }
        if (!image.save(path)) {
            std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
            ++failures;
            continue;
        }
        std::printf("%s\n", qPrintable(path));
    }
    return failures == 0 ? 0 : 1;
}
