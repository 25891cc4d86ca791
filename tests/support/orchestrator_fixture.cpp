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

bool OrchestratorTest::runUntilSettled(ServiceID id, const std::function<bool()> &done,
                                       const std::function<bool()> &settled, std::chrono::milliseconds limit)
{
    const ManagedProcess &process = orchestrator->process(id);
    // From the launch until the child is reported started, whatever `settled` says: a loaded
    // machine may take a while to run the child, and a running service's health checks would let
    // the whole limit pass meanwhile.
    const auto launching = [&] {
        return process.state() == ServiceRunState::starting && process.lastLaunchOutcome() == LaunchOutcome::neverStarted();
    };
    const auto starting = [&] {
        return settled && process.state() == ServiceRunState::starting && (launching() || (process.pid() && !settled()));
    };
    const auto deadline = env.clock().now() + limit;
    while (!done()) {
        if (starting()) {
            const auto hold = env.clock().hold();
            if (!env.clock().runUntil([&] { return done() || !starting(); }, std::chrono::milliseconds(0),
                                      std::chrono::seconds(20))) {
                return false;
            }
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - env.clock().now());
        if (left <= std::chrono::milliseconds(0) || !env.clock().runUntil([&] { return done() || starting(); }, left)) {
            return false;
        }
    }
    return true;
}

} // namespace cordavelle::test
