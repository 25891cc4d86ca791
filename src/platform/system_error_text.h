#pragma once

#include <QString>

namespace cordavelle {

// The system's text for an errno value.
QString systemErrorText(int error);

} // namespace cordavelle
