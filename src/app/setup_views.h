#pragma once

#include "app/sidebar_model.h"

#include <functional>

class QDialog;
class QWidget;

namespace cordavelle {

struct AppContext;

// The setup surfaces sit above the application shell, so the shell reaches them through these
// declarations (src/setup).

// The management window's Setup page: every dependency with its state and action. `select`
// sends the window to another section (a row's "Configure").
QWidget *makeSetupChecklistPage(const AppContext &context, std::function<void(SidebarSection)> select,
                                QWidget *parent = nullptr);

// The first-run wizard's sheet over `parent`. Only its Done closes it; that records that set-up
// was completed and clears the request for the wizard.
QDialog *makeSetupWizard(const AppContext &context, QWidget *parent);

} // namespace cordavelle
