#pragma once

#include <QMargins>
#include <QRect>
#include <QSize>

#include <optional>

class QCoreApplication;
class QWidget;

namespace cordavelle {

// Where a window of `size` opens: centred over `over` (the window it belongs to) when given, else
// over `available`, then moved, and shrunk no smaller than `minimum`, so that the window with its
// frame (`frame`: the title bar and borders the window manager adds) lies within `available`, the
// screen less its panels. A window too large even at its minimum keeps its top left corner on the
// screen.
QRect placedWithin(const QRect &available, QSize size, QSize minimum, const std::optional<QRect> &over,
                   const QMargins &frame);

// Whether `widget` is a window the window manager frames and the user moves about: a top-level
// window, dialog or tool window. A frameless window that bypasses the window manager is not one:
// the tray icon's window, which the tray takes into its own slot, is such a window.
bool isTitledWindow(const QWidget &widget);

// Places every titled window the first time it is shown by placedWithin, on the screen it opens
// on: no window opens partly beyond a screen's edge or under a panel. Installing twice is harmless.
void installScreenFitRule(QCoreApplication &app);

} // namespace cordavelle
