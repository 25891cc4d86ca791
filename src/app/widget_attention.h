#pragma once

#include "platform/attention.h"

namespace cordavelle {

// Asks the desktop to flash the helper's visible windows (the window manager's "urgent" hint).
// A critical request keeps the hint until the user turns to the window; otherwise it lasts a
// moment. With no visible window there is nothing to do.
class WidgetAttention final : public Attention {
public:
    void requestUserAttention(bool critical) override;
    // The windows that the last request flashed.
    int lastAlertedWindows() const { return m_lastAlerted; }

private:
    int m_lastAlerted = 0;
};

} // namespace cordavelle
