// Renders the management view, the service header with the shared controls, and the About
// window offscreen to PNG files, with representative states, so that people can look at them
// and CI can check that each one builds and draws something.
//
//   helper_view_screens <folder>

#include "app/about_window.h"
#include "app/accent_style.h"
#include "app/lifecycle_picker.h"
#include "app/log_viewer.h"
#include "app/management_view.h"
#include "app/port_field.h"
#include "app/service_header.h"
#include "base/helper_places.h"

#include "support/event_wait.h"
#include "support/helper_objects.h"
#include "support/no_services.h"
#include "support/task_outcome.h"
#include "support/test_files.h"

#include <QApplication>
#include <QDir>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QVBoxLayout>

#include <chrono>
#include <cstdio>

using namespace cordavelle;
using namespace std::chrono_literals;

namespace {

int failures = 0;

void save(QWidget &widget, const QString &folder, const QString &name, QSize size = {})
{
    if (size.isValid()) {
        widget.resize(size);
    }
    widget.show();
    test::processEventsFor(50ms);
    const QImage image = widget.grab().toImage();
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".png");
    bool drawn = false;
    for (int y = 0; y < image.height() && !drawn; y += 3) {
        for (int x = 0; x < image.width() && !drawn; x += 3) {
            drawn = image.pixel(x, y) != image.pixel(0, 0);
        }
    }
    if (image.isNull() || !drawn || !image.save(path)) {
        std::fprintf(stderr, "%s: nothing drawn or not saved\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

// Brings a process to a state by running a real program: a long sleep stays up, a missing
// program fails its launch.
void launch(ManagedProcess &process, const QString &program, bool markRunning)
{
    auto started = test::track(process.start(program, {QStringLiteral("600")}));
    test::processEventsUntil([&] { return started->done; });
    if (markRunning && !started->error) {
        process.markRunning();
    }
}

// A service page's usual top: the header, the mode, a port, the log.
QWidget *servicePage(ServiceID id, ManagedProcess &process, ServiceControl &control, Clock &clock)
{
    auto *page = new QWidget;
    auto *column = new QVBoxLayout(page);
    column->setContentsMargins(20, 20, 20, 20);
    column->addWidget(new ServiceHeader(id, process, control, clock));
    column->addSpacing(12);
    column->addWidget(new LifecyclePicker(ServiceLifecycleMode::alwaysOn));
    column->addWidget(new PortField(QStringLiteral("TCP Port"), 4532));
    auto *log = new LogViewer([] {});
    log->setLogLines(process.logLines());
    log->setExpanded(true);
    column->addWidget(log);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(new AccentButton(QStringLiteral("Install")));
    auto *disabled = new AccentButton(QStringLiteral("Disabled action"));
    disabled->setEnabled(false);
    buttons->addWidget(disabled);
    buttons->addWidget(new QLabel(QStringLiteral("Packet TNC management")));
    buttons->addWidget(new BetaBadge);
    buttons->addStretch();
    column->addLayout(buttons);
    column->addStretch();
    return page;
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screens");
    QDir().mkpath(folder);

    test::HelperObjects helper;
    auto &[env, config, keepalive, discovery, orchestrator, pairing] = helper;
    test::NoServices control;

    // Wine and rigctld found, the prefix made; no VARA yet: 3/5.
    test::writeProgram(env.hostPath(QStringLiteral("/usr/bin/wine")));
    test::writeProgram(env.hostPath(QStringLiteral("/usr/bin/rigctld")));
    const QString system32 = places::winePrefix() + QStringLiteral("/drive_c/windows/system32/");
    QDir().mkpath(system32);
    test::writeFile(system32 + QStringLiteral("msvbvm60.dll"), "MZ");
    test::writeFile(system32 + QStringLiteral("pdh.dll"), "MZ");

    DirewolfConfig direwolf = config.direwolfConfig();
    direwolf.lifecycleMode = ServiceLifecycleMode::disabled;
    config.setDirewolfConfig(direwolf);
    ManagedProcess &hf = orchestrator.process(ServiceID::varaHF);
    hf.appendSyntheticLog(QStringLiteral("[VARA] Starting: wine VARA.exe"));
    launch(hf, QStringLiteral("/bin/sleep"), true);
    hf.appendSyntheticLog(QStringLiteral("[VARA] Command port 8300 is answering"));
    launch(orchestrator.process(ServiceID::varaFM), QStringLiteral("/nonexistent/VARAFM.exe"), false);
    launch(orchestrator.process(ServiceID::rigctld), QStringLiteral("/bin/sleep"), true);
    int address = 10;
    for (const char *host : {"shack-laptop", "field-tablet", "kitchen-pc"}) {
        pairing.requestPairing(QString::fromLatin1(host) + QStringLiteral("-id"), QString::fromLatin1(host),
                               QStringLiteral("Linux"), QStringLiteral("192.168.1.%1").arg(address++));
    }
    env.clock().advance(754s);

    {
        ManagementView view(orchestrator, config, pairing);
        view.setPendingUpdates({{QStringLiteral("Wine"), QStringLiteral("9.0"), QStringLiteral("10.0")},
                                {QStringLiteral("Hamlib"), QStringLiteral("4.5.5"), QStringLiteral("4.6")}});
        view.setPageFactory(SidebarSection::varaHF, [&](ManagementView &) {
            return servicePage(ServiceID::varaHF, hf, control, env.clock());
        });
        save(view, folder, QStringLiteral("management-vara-hf"), {800, 550});
        view.setSelectedSection(SidebarSection::varaFM);
        view.setPageFactory(SidebarSection::varaFM, [&](ManagementView &) {
            return servicePage(ServiceID::varaFM, orchestrator.process(ServiceID::varaFM), control, env.clock());
        });
        save(view, folder, QStringLiteral("management-vara-fm-error"), {800, 550});
        view.setSelectedSection(SidebarSection::clients);
        save(view, folder, QStringLiteral("management-page-not-built"), {800, 550});
        view.setSelectedSection(std::nullopt);
        save(view, folder, QStringLiteral("management-no-selection"), {800, 550});
    }
    {
        ManagedProcess fresh(ServiceID::direwolf);
        std::unique_ptr<QWidget> page(servicePage(ServiceID::direwolf, fresh, control, env.clock()));
        save(*page, folder, QStringLiteral("service-page-never-launched"), {600, 420});
    }
    {
        AboutInfo info = AboutInfo::current();
        AboutWindow about(info);
        save(about, folder, QStringLiteral("about"));
        info.releaseNotes.clear();
        AboutWindow withoutNotes(info);
        save(withoutNotes, folder, QStringLiteral("about-without-release-notes"));
    }

    for (ServiceID id : allCases<ServiceID>()) {
        orchestrator.process(id).stop();
    }
    test::processEventsUntil([&] {
        for (ServiceID id : allCases<ServiceID>()) {
            if (orchestrator.process(id).state() == ServiceRunState::stopping) {
                return false;
            }
        }
        return true;
    });
    return failures == 0 ? 0 : 1;
}
