#pragma once

#include "core/service_orchestrator.h"

#include <map>

namespace cordavelle::test {

// Start paths that stand in for the services' own, by service.
using StartPaths = std::map<ServiceID, ServiceOrchestrator::StartPath>;

// Looks `paths` up at each start, so that a test may change them while the orchestrator lives.
inline ServiceOrchestrator::StartPathStandIns standInsFrom(const StartPaths &paths)
{
    return [&paths](ServiceID id) {
        const auto found = paths.find(id);
        return found == paths.end() ? ServiceOrchestrator::StartPath() : found->second;
    };
}

} // namespace cordavelle::test
