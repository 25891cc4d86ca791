#pragma once

#include "app/sidebar_model.h"

#include <functional>

class QDialog;
class QWidget;

namespace cordavelle {

class ManagementView;

// The surfaces that stand above the shell: the services' pages, the setup checklist and the
// first-run wizard. The program's entry makes them and hands them to the shell, which only places
// them; so the shell needs neither pages/ nor setup/, to include or to link.
class ShellPages {
public:
    virtual ~ShellPages() = default;

    // Gives the management view the pages of the services and the setup checklist.
    virtual void installPages(ManagementView &view) = 0;
    // The first-run wizard's sheet over `parent`; it may send the window to another section when
    // it closes.
    virtual QDialog *makeWizard(QWidget *parent, std::function<void(SidebarSection)> select) = 0;
};

} // namespace cordavelle
