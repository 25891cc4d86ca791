#pragma once

#include "base/service_model.h"

namespace cordavelle {

// Where the helper shows itself: the Dock (a regular window presence), the menu bar, or both.
enum class AppAppearanceMode { dock, menuBar, both };

template <>
struct EnumTraits<AppAppearanceMode> {
    static constexpr std::string_view jsonName = "AppAppearanceMode";
    static constexpr bool iterable = true;
    static constexpr std::array cases{AppAppearanceMode::dock, AppAppearanceMode::menuBar, AppAppearanceMode::both};
    static constexpr std::array<std::string_view, 3> raw{"dock", "menuBar", "both"};
};

// "Taskbar Only", "Tray Only", "Both".
QString displayName(AppAppearanceMode mode);
bool showInDock(AppAppearanceMode mode);
bool showInMenuBar(AppAppearanceMode mode);

} // namespace cordavelle
