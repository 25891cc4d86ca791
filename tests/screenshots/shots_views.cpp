#include "shots.h"

#include "app/about_window.h"
#include "widgets/accent_style.h"
#include "widgets/beta_badge.h"
#include "widgets/lifecycle_picker.h"
#include "widgets/log_viewer.h"
#include "app/management_view.h"
#include "widgets/port_field.h"
#include "widgets/service_header.h"

#include "support/no_services.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <memory>

namespace cordavelle::screenshots {

namespace {

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

void addViewShots(ShotList &shots, ShotEnvironment &scene)
{
    auto control = std::make_shared<test::NoServices>();
    const auto view = [&scene, control](std::optional<SidebarSection> section) {
        ManagementView view(scene.orchestrator, scene.config, scene.pairing);
        view.setPendingUpdates({{QStringLiteral("Wine"), QStringLiteral("9.0"), QStringLiteral("10.0")},
                                {QStringLiteral("Hamlib"), QStringLiteral("4.5.5"), QStringLiteral("4.6")}});
        for (const auto &[page, id] : {std::pair{SidebarSection::varaHF, ServiceID::varaHF},
                                      std::pair{SidebarSection::varaFM, ServiceID::varaFM}}) {
            view.setPageFactory(page, [&scene, control, id = id](ManagementView &) {
                return servicePage(id, scene.orchestrator.process(id), *control, scene.env.clock());
            });
        }
        view.setSelectedSection(section);
        return grabWindow(&view, {800, 550});
    };
    shots.push_back({QStringLiteral("management-vara-hf"), [view] { return view(SidebarSection::varaHF); }});
    shots.push_back({QStringLiteral("management-vara-fm-error"), [view] { return view(SidebarSection::varaFM); }});
    shots.push_back({QStringLiteral("management-page-not-built"), [view] { return view(SidebarSection::clients); }});
    shots.push_back({QStringLiteral("management-no-selection"), [view] { return view(std::nullopt); }});
    shots.push_back({QStringLiteral("service-page-never-launched"), [&scene, control] {
                         ManagedProcess fresh(ServiceID::direwolf, scene.env.clock());
                         std::unique_ptr<QWidget> page(servicePage(ServiceID::direwolf, fresh, *control,
                                                                   scene.env.clock()));
                         return grabWindow(page.get(), {600, 420});
                     }});
    shots.push_back({QStringLiteral("about"), [] {
                         AboutWindow about(AboutInfo::current());
                         return grabWindow(&about);
                     }});
    shots.push_back({QStringLiteral("about-without-release-notes"), [] {
                         AboutInfo info = AboutInfo::current();
                         info.releaseNotes.clear();
                         AboutWindow about(info);
                         return grabWindow(&about);
                     }});
}

} // namespace cordavelle::screenshots
