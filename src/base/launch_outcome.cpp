#include "launch_outcome.h"

#include <cstring>

namespace cordavelle {

LaunchOutcome LaunchOutcome::fromTermination(int32_t status, bool crashedBySignal)
{
    if (crashedBySignal) {
        return killedBySignal(status);
    }
    return status == 0 ? exitedCleanly() : exitedWithCode(status);
}

QString LaunchOutcome::displayLabel() const
{
    switch (m_kind) {
    case Kind::exitedWithCode: return QStringLiteral("exit=%1").arg(m_value);
    case Kind::killedBySignal: return QStringLiteral("killed sig=%1").arg(m_value);
    case Kind::neverStarted: return QStringLiteral("never started");
    case Kind::running: return QStringLiteral("OK");
    case Kind::exitedCleanly: return QStringLiteral("exited cleanly");
    case Kind::stopped: return QStringLiteral("stopped");
    }
    return {};
}

QString LaunchOutcome::failureText() const
{
    switch (m_kind) {
    case Kind::exitedWithCode: return QStringLiteral("Process exited with code %1").arg(m_value);
    case Kind::killedBySignal: return QStringLiteral("Process was ") + killedBySignalText(m_value);
    case Kind::neverStarted:
    case Kind::running:
    case Kind::exitedCleanly:
    case Kind::stopped: return {};
    }
    return {};
}

QString LaunchOutcome::killedBySignalText(int32_t signal)
{
    const QString text = QStringLiteral("killed by signal %1").arg(signal);
    // glibc's abbreviation ("KILL"); none for a number that names no signal.
    const char *abbreviation = sigabbrev_np(signal);
    return abbreviation ? text + QStringLiteral(" (SIG%1)").arg(QLatin1String(abbreviation)) : text;
}

} // namespace cordavelle
