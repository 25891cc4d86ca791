#pragma once

#include <chrono>
#include <functional>

namespace cordavelle {

// How long an owner's destructor lets the task it runs wind down.
inline constexpr std::chrono::milliseconds kTaskDrainLimit{10000};

// Runs the event loop until `running` turns false or `limit` has passed: for the destructor of
// an owner whose task still refers to it, once that task has been told to stop.
void drainTask(const std::function<bool()> &running, std::chrono::milliseconds limit = kTaskDrainLimit);

} // namespace cordavelle
