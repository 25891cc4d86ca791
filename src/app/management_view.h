#pragma once

#include "app/sidebar_model.h"

#include <QWidget>

#include <functional>
#include <map>
#include <optional>
#include <vector>

class QVBoxLayout;

namespace cordavelle {

class CoalescedRefresh;
class ConfigStore;
class PairingManager;
class ServiceOrchestrator;
class Sidebar;

// The body of the management window: the sidebar on the left, the selected section's page on
// the right. It only reads state; every mark follows the processes, the lifecycle modes, the
// pairing requests, the pending updates and the installed tools.
class ManagementView final : public QWidget {
    Q_OBJECT
public:
    // Builds a section's page. The page may send the window elsewhere through
    // setSelectedSection (the setup checklist does).
    using PageFactory = std::function<QWidget *(ManagementView &view)>;

    ManagementView(ServiceOrchestrator &orchestrator, ConfigStore &config, PairingManager &pairing,
                   QWidget *parent = nullptr);

    // Pages of sections without a factory show a placeholder with the section's title.
    void setPageFactory(SidebarSection section, PageFactory factory);

    std::optional<SidebarSection> selectedSection() const { return m_selected; }
    // Selects a section (or none) and builds its page afresh.
    void setSelectedSection(std::optional<SidebarSection> section);
    QWidget *page() const { return m_page; }

    // The update nudge's pending updates, shown as the Setup row's badge.
    void setPendingUpdates(std::vector<PendingDependencyUpdate> updates);
    // Checks the installed tools again, for the installers to call when their state changes.
    void refreshSetupProgress();

    Sidebar *sidebar() const { return m_sidebar; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refresh();
    void showPage();

    ServiceOrchestrator &m_orchestrator;
    PairingManager &m_pairing;
    std::map<SidebarSection, PageFactory> m_factories;
    std::optional<SidebarSection> m_selected = SidebarSection::varaHF;
    std::vector<PendingDependencyUpdate> m_updates;
    // The pending pairings the sidebar shows: the only thing of the client table it reads.
    int m_shownPendingPairings = 0;
    CoalescedRefresh *m_refresh;
    Sidebar *m_sidebar;
    QVBoxLayout *m_detail;
    QWidget *m_page = nullptr;
};

} // namespace cordavelle
