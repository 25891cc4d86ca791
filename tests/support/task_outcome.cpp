#include "task_outcome.h"

#include <exception>

namespace cordavelle::test {

namespace {

QCoro::Task<void> record(QCoro::Task<void> task, std::shared_ptr<TaskOutcome> outcome)
{
    try {
        co_await std::move(task);
    } catch (const std::exception &error) {
        outcome->error = QString::fromUtf8(error.what());
    }
    outcome->done = true;
}

} // namespace

std::shared_ptr<TaskOutcome> track(QCoro::Task<void> task)
{
    auto outcome = std::make_shared<TaskOutcome>();
    record(std::move(task), outcome);
    return outcome;
}

} // namespace cordavelle::test
