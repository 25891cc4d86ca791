#include "widgets/start_stop_meaning.h"

namespace cordavelle {

void StartStopMeaning::show(bool stops, Clock::SteadyTime now)
{
    if (m_stops == stops) {
        return;
    }
    // The first word counts as read; a change is timed.
    if (m_stops.has_value()) {
        m_since = now;
    }
    m_stops = stops;
}

bool StartStopMeaning::stopsOnPressAt(Clock::SteadyTime now) const
{
    return m_stops == true && (!m_since || now - *m_since >= kSettleTime);
}

} // namespace cordavelle
