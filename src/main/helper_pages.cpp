#include "helper_pages.h"

#include "app/management_view.h"

namespace cordavelle {

HelperPages::HelperPages(const SetupContext &setup, const ServicePagesContext &pages)
    : m_setup(setup), m_pages(pages)
{
}

void HelperPages::installPages(ManagementView &view)
{
    view.setPageFactory(SidebarSection::setup, [this](ManagementView &management) {
        return makeSetupChecklistPage(m_setup,
                                      [&management](SidebarSection section) { management.setSelectedSection(section); });
    });
    installDetailPages(view, m_pages);
}

QDialog *HelperPages::makeWizard(QWidget *parent, std::function<void(SidebarSection)> select)
{
    return makeSetupWizard(m_setup, std::move(select), parent);
}

} // namespace cordavelle
