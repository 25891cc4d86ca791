#pragma once

#include "app/shell_pages.h"
#include "pages/detail_pages.h"
#include "setup/setup_views.h"

namespace cordavelle {

// The surfaces the shell shows, made over the contexts of the setup surfaces and of the services'
// pages. Whoever makes the application makes this first and keeps it until the application is
// gone: the shell makes the wizard on demand.
class HelperPages final : public ShellPages {
public:
    HelperPages(const SetupContext &setup, const ServicePagesContext &pages);

    void installPages(ManagementView &view) override;
    QDialog *makeWizard(QWidget *parent, std::function<void(SidebarSection)> select) override;

private:
    SetupContext m_setup;
    ServicePagesContext m_pages;
};

} // namespace cordavelle
