#include "app/setup_views.h"

#include "app/placeholder_views.h"

namespace cordavelle {

QWidget *makeSetupChecklistPage(const AppContext &, std::function<void(SidebarSection)>, QWidget *parent)
{
    return makeSetupChecklistPlaceholder(parent);
}

} // namespace cordavelle
