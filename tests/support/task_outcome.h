#pragma once

#include "event_wait.h"

#include <QCoroTask>
#include <QString>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <type_traits>

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

namespace detail {
template <typename T>
QCoro::Task<void> dropValue(QCoro::Task<T> task)
{
    co_await std::move(task);
}

template <typename T>
QCoro::Task<void> keepResult(QCoro::Task<T> task, std::optional<T> *value, std::exception_ptr *error, bool *done)
{
    try {
        value->emplace(co_await std::move(task));
    } catch (...) {
        *error = std::current_exception();
    }
    *done = true;
}
} // namespace detail

// The same for a task with a value, which is dropped.
template <typename T>
std::shared_ptr<TaskOutcome> track(QCoro::Task<T> task)
{
    return track(detail::dropValue(std::move(task)));
}

namespace detail {
struct Unit {};
inline QCoro::Task<Unit> withUnit(QCoro::Task<void> task)
{
    co_await std::move(task);
    co_return Unit{};
}

template <typename T>
T runValueToEnd(QCoro::Task<T> task, std::chrono::milliseconds realLimit)
{
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
    keepResult(std::move(task), &value, &error, &done);
    if (!processEventsUntil([&] { return done; }, realLimit)) {
        throw std::runtime_error("the task did not end in time");
    }
    if (error) {
        std::rethrow_exception(error);
    }
    return std::move(*value);
}
} // namespace detail

// Processes real events until `task` ends, then returns its value or throws what it threw (unlike
// QCoro::waitFor, which never returns from a task that throws). Throws std::runtime_error when
// the task has not ended within `realLimit`.
template <typename T>
T runToEnd(QCoro::Task<T> task, std::chrono::milliseconds realLimit = std::chrono::milliseconds(10000))
{
    if constexpr (std::is_void_v<T>) {
        runToEnd(detail::withUnit(std::move(task)), realLimit);
        return;
    } else {
        return detail::runValueToEnd(std::move(task), realLimit);
    }
}

} // namespace cordavelle::test
