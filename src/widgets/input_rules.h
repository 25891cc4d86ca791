#pragma once

#include <functional>

class QAbstractButton;
class QButtonGroup;
class QCoreApplication;
class QObject;

namespace cordavelle {

// Combo boxes and spin boxes in every window take the mouse wheel only once the user has given
// them the focus (a click or Tab); until then the wheel scrolls the page that holds them, so
// scrolling past a setting never changes it. Installing twice is harmless.
void installWheelRule(QCoreApplication &app);

// Lets assistive technology see every titled top-level window made of a plain widget (the
// settings window, About) as a window, as it sees the main window and the dialogs, so that a
// screen reader announces it by its title. Installing twice is harmless.
void installWindowRole();

// Calls `store` with the button's new state whatever changed it: a click, the keyboard or
// assistive technology, which toggles without clicking.
void onToggled(QAbstractButton *button, QObject *context, std::function<void(bool)> store);
// The same for the button of `group` that becomes checked, with its id.
void onChosen(QButtonGroup *group, QObject *context, std::function<void(int)> store);

// Shows a stored state on the button (or the group's button `id`) without it counting as a
// change by the user.
void showChecked(QAbstractButton *button, bool checked);
void showChosen(QButtonGroup *group, int id);

} // namespace cordavelle
