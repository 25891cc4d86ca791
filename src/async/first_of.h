#pragma once

#include "event.h"

#include <QCoroTask>

#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <type_traits>
#include <variant>
#include <vector>

namespace cordavelle::async {

// Which task ended first, with its result (nothing for tasks without one).
template <typename T>
struct FirstOf {
    using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
    std::size_t index = 0;
    Value value{};
};

// Starts every task with one shared stop token; once the first has ended (with a result or an
// exception), requests stop for the others and waits until all have ended, so that none outlives
// the call. Answers the first one's result, or rethrows its exception. A stop request on `stop`
// reaches every task. Each task must end soon after its token is stopped.
template <typename T>
QCoro::Task<FirstOf<T>> firstOf(std::vector<std::function<QCoro::Task<T>(std::stop_token)>> tasks,
                                std::stop_token stop = {})
{
    if (tasks.empty()) {
        throw std::invalid_argument("firstOf needs at least one task");
    }
    struct State {
        std::stop_source stop;
        Event allEnded;
        std::size_t running = 0;
        std::optional<FirstOf<T>> first;
        std::exception_ptr error;
    };
    auto state = std::make_shared<State>();
    state->running = tasks.size();
    std::stop_callback forward(stop, [state] { state->stop.request_stop(); });

    auto runOne = [](std::shared_ptr<State> s, std::size_t index,
                     std::function<QCoro::Task<T>(std::stop_token)> make) -> QCoro::Task<void> {
        FirstOf<T> outcome{index, {}};
        std::exception_ptr error;
        try {
            if constexpr (std::is_void_v<T>) {
                co_await make(s->stop.get_token());
            } else {
                outcome.value = co_await make(s->stop.get_token());
            }
        } catch (...) {
            error = std::current_exception();
        }
        if (!s->first) {
            s->first = std::move(outcome);
            s->error = error;
            s->stop.request_stop();
        }
        if (--s->running == 0) {
            s->allEnded.set();
        }
    };
    for (std::size_t index = 0; index < tasks.size(); ++index) {
        runOne(state, index, std::move(tasks[index]));
    }
    co_await state->allEnded;
    if (state->error) {
        std::rethrow_exception(state->error);
    }
    co_return std::move(*state->first);
}

} // namespace cordavelle::async
