#pragma once

#include <QtGlobal>

namespace cordavelle {

// Whether a process with this identifier exists (also one of another user).
bool isProcessAlive(qint64 pid);

} // namespace cordavelle
