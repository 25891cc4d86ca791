#pragma once

#include <QIcon>

namespace cordavelle {

// The application's icon for its windows: the one the icon theme has under the application's
// identifier (what `cmake --install` puts into hicolor), else the same drawing built into the
// program, so an uninstalled build looks the same.
QIcon applicationIcon();

} // namespace cordavelle
