#include "process_presence.h"

#include <cerrno>
#include <csignal>

namespace cordavelle {

bool isProcessAlive(qint64 pid)
{
    if (pid <= 0) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

} // namespace cordavelle
