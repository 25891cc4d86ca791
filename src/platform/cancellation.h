#pragma once

#include <exception>
#include <stop_token>

namespace cordavelle {

// Thrown by a long operation that stopped because its stop token was requested. Callers tell it
// apart from a failure: a cancelled operation reports nothing to the user.
class OperationCancelled : public std::exception {
public:
    const char *what() const noexcept override { return "Cancelled"; }
};

// Ends the operation with OperationCancelled once a stop has been requested.
inline void throwIfStopped(const std::stop_token &stop)
{
    if (stop.stop_requested()) {
        throw OperationCancelled();
    }
}

} // namespace cordavelle
