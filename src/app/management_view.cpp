#include "app/management_view.h"

#include "api/pairing_manager.h"
#include "widgets/coalesced_refresh.h"
#include "widgets/form_parts.h"
#include "app/content_placeholder.h"
#include "app/sidebar.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"

#include <QSplitter>
#include <QVBoxLayout>

namespace cordavelle {

ManagementView::ManagementView(ServiceOrchestrator &orchestrator, ConfigStore &config, PairingManager &pairing,
                               QWidget *parent)
    : QWidget(parent), m_orchestrator(orchestrator), m_pairing(pairing),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    setWindowTitle(QStringLiteral("Cordavelle Helper"));
    auto *layout = bareColumn(this);
    auto *split = new QSplitter(Qt::Horizontal);
    split->setChildrenCollapsible(false);
    m_sidebar = new Sidebar;
    auto *detail = new QWidget;
    m_detail = bareColumn(detail);
    split->addWidget(m_sidebar);
    split->addWidget(detail);
    split->setStretchFactor(0, 0);
    split->setStretchFactor(1, 1);
    split->setSizes({200, 600});
    layout->addWidget(split);

    for (ServiceID id : allCases<ServiceID>()) {
        connect(&orchestrator.process(id), &ManagedProcess::stateChanged, m_refresh, &CoalescedRefresh::schedule);
        connect(&orchestrator.process(id), &ManagedProcess::startErrorChanged, m_refresh, &CoalescedRefresh::schedule);
    }
    connect(&config, &ConfigStore::varaConfigChanged, m_refresh, &CoalescedRefresh::schedule);
    connect(&config, &ConfigStore::varaFMConfigChanged, m_refresh, &CoalescedRefresh::schedule);
    connect(&config, &ConfigStore::rigctldConfigChanged, m_refresh, &CoalescedRefresh::schedule);
    connect(&config, &ConfigStore::direwolfConfigChanged, m_refresh, &CoalescedRefresh::schedule);
    // Of the pairings the sidebar shows only how many wait for an answer.
    connect(&pairing, &PairingManager::clientsChanged, m_refresh, [this] {
        if (m_pairing.pendingCount() != m_shownPendingPairings) {
            m_refresh->schedule();
        }
    });
    connect(m_sidebar, &Sidebar::sectionSelected, this, &ManagementView::setSelectedSection);

    refresh();
    m_sidebar->select(m_selected);
    showPage();
}

void ManagementView::setPageFactory(SidebarSection section, PageFactory factory)
{
    m_factories[section] = std::move(factory);
    if (m_selected == section) {
        showPage();
    }
}

void ManagementView::setSelectedSection(std::optional<SidebarSection> section)
{
    m_selected = section;
    if (m_sidebar->selectedSection() != section) {
        m_sidebar->select(section);
    }
    showPage();
}

void ManagementView::setPendingUpdates(std::vector<PendingDependencyUpdate> updates)
{
    m_updates = std::move(updates);
    m_refresh->schedule();
}

void ManagementView::refreshSetupProgress()
{
    m_refresh->schedule();
}

void ManagementView::showEvent(QShowEvent *event)
{
    // Tools installed while the window was hidden show as soon as it comes back.
    refresh();
    QWidget::showEvent(event);
}

void ManagementView::refresh()
{
    SidebarInputs inputs;
    for (ServiceID id : allCases<ServiceID>()) {
        const ManagedProcess &process = m_orchestrator.process(id);
        inputs.states[id] = shownRunState(process.state(), process.startError().has_value());
        inputs.modes[id] = m_orchestrator.lifecycleMode(id);
    }
    inputs.pendingPairings = m_shownPendingPairings = m_pairing.pendingCount();
    inputs.pendingUpdates = m_updates;
    inputs.setup = SetupChecks::current();
    m_sidebar->display(sidebarModel(inputs));
}

void ManagementView::showPage()
{
    if (m_page) {
        // The old page may be the one asking for the change (the checklist's links): let it
        // finish its handler first.
        m_page->hide();
        m_page->deleteLater();
    }
    if (!m_selected) {
        m_page = new ContentPlaceholder(QStringLiteral("sidebar.left"), QStringLiteral("Select a Section"));
    } else if (const auto factory = m_factories.find(*m_selected); factory != m_factories.end() && factory->second) {
        m_page = factory->second(*this);
    } else {
        m_page = new ContentPlaceholder(systemImage(*m_selected), toRaw(*m_selected));
    }
    m_detail->addWidget(m_page);
}

} // namespace cordavelle
