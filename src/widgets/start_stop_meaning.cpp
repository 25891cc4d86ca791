#include "widgets/start_stop_meaning.h"

namespace cordavelle {

void StartStopMeaning::show(bool stops, Clock::SteadyTime now)
{
    if (m_stops == stops) {
        return;
    }
    if (m_stops) {
        m_since = now;
    }
    m_stops = stops;
}

bool StartStopMeaning::stopsOnPressAt(Clock::SteadyTime now) const
{
    return m_stops == true && (!m_since || now - *m_since >= kSettleTime);
}

} // namespace cordavelle
