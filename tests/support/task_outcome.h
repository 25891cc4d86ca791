#pragma once

#include <QCoroTask>
#include <QString>

#include <memory>
#include <optional>

namespace cordavelle::test {

// How a task left to run on its own has ended so far: whether it is done, and the text of what
// it threw, if anything.
struct TaskOutcome {
    bool done = false;
    std::optional<QString> error;
};

// Lets `task` run on the event loop and records its end in the returned outcome, so that a test
// can drive the loop or the clock until `done` and then look at `error`.
std::shared_ptr<TaskOutcome> track(QCoro::Task<void> task);

} // namespace cordavelle::test
