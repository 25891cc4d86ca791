#pragma once

#include <chrono>
#include <functional>

namespace cordavelle::test {

// Processes real events (sockets, child processes, queued calls) without moving any clock,
// until `done` holds or `realLimit` of real time has passed; returns whether `done` held.
[[nodiscard]] bool processEventsUntil(const std::function<bool()> &done,
                        std::chrono::milliseconds realLimit = std::chrono::milliseconds(5000));

// Processes real events for `realTime`, as above, to let what is under way go on.
void processEventsFor(std::chrono::milliseconds realTime);

} // namespace cordavelle::test
