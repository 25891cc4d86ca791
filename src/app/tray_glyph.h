#pragma once

#include "base/service_model.h"

#include <QColor>
#include <QIcon>

namespace cordavelle {

// The colour of the tray glyph, from the two services a radio session depends on.
enum class TrayColor { primary, red, green, yellow };

// Only VARA HF and rigctld count, and a disabled one not at all: error wins over everything,
// green needs every counted service running, starting or stopping is yellow, else primary.
TrayColor menuBarColor(ServiceRunState varaState, ServiceLifecycleMode varaMode, ServiceRunState rigctldState,
                       ServiceLifecycleMode rigctldMode);

// The antenna glyph in its colour (`primary` standing for the primary label colour), with the
// small orange dot in its top-trailing corner while a pairing request waits.
QIcon trayGlyph(TrayColor colour, bool pendingPairing, const QColor &primary, int size = 32);

} // namespace cordavelle
