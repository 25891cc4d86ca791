#pragma once

namespace cordavelle {

struct AppContext;
class ManagementView;

// Gives the management view the services' own pages. The pages sit above the application
// shell, so they are installed from there (src/pages) through this one declaration.
void installDetailPages(ManagementView &view, const AppContext &context);

} // namespace cordavelle
