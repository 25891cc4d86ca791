#include "app_appearance_mode.h"

namespace cordavelle {

QString displayName(AppAppearanceMode mode)
{
    switch (mode) {
    case AppAppearanceMode::dock: return QStringLiteral("Taskbar Only");
    case AppAppearanceMode::menuBar: return QStringLiteral("Tray Only");
    case AppAppearanceMode::both: return QStringLiteral("Both");
    }
    return {};
}

bool showInDock(AppAppearanceMode mode) { return mode != AppAppearanceMode::menuBar; }

bool showInMenuBar(AppAppearanceMode mode) { return mode != AppAppearanceMode::dock; }

} // namespace cordavelle
