#pragma once

class QWidget;

namespace cordavelle {

// The keys a Linux desktop closes a window with: Ctrl+W closes `window`, and Escape does too when
// `escapeCloses` (a window that works like a dialog, with nothing to confirm). Either goes through
// the window's close event, as its close button does, so a window that hides or minimises instead
// of closing does that.
void addCloseKeys(QWidget &window, bool escapeCloses);

} // namespace cordavelle
