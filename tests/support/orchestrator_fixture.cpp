#include "orchestrator_fixture.h"

#include "support/manual_clock.h"

namespace cordavelle::test {

OrchestratorTest::~OrchestratorTest()
{
    shutDown();
}

void OrchestratorTest::shutDown()
{
    if (!orchestrator) {
        return;
    }
    children.killAll();
    orchestrator.reset();
    ManualClock::processEvents();
}

void OrchestratorTest::watchChildren()
{
    for (ServiceID id : allCases<ServiceID>()) {
        children.watch(orchestrator->process(id));
    }
}

std::shared_ptr<TaskOutcome> OrchestratorTest::start(ServiceID id)
{
    return track(orchestrator->startService(id));
}

} // namespace cordavelle::test
