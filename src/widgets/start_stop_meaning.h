#pragma once

#include "platform/clock.h"

#include <chrono>
#include <optional>

namespace cordavelle {

// What a press of a control that reads "Start" or "Stop" means. A press aimed at one word can land
// just as the word flips: a crash restart begins its start, a service comes up or crashes. A
// start that lands on a service already starting or running joins it or does nothing, while a
// stop that lands on a restart ends it for good; so a press stops only when the control has read
// "Stop" for kSettleTime at least, long enough to be read, and otherwise starts.
class StartStopMeaning {
public:
    static constexpr std::chrono::milliseconds kSettleTime{500};

    // The control reads "Stop" (`stops`) or "Start" from `now` on.
    void show(bool stops, Clock::SteadyTime now);
    // Whether a press at `now` stops the service.
    bool stopsOnPressAt(Clock::SteadyTime now) const;

private:
    std::optional<bool> m_stops;
    // Since when the control reads what it reads; none for the first word, which counts as read.
    std::optional<Clock::SteadyTime> m_since;
};

} // namespace cordavelle
