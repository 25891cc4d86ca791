#pragma once

#include <QCoroTask>

#include <chrono>
#include <stop_token>

namespace cordavelle {

class Clock;

// Tries 127.0.0.1:port every 0.5 s on `clock` until it accepts (true), `timeout` has passed or
// `cancel` is requested (false). Each attempt is a non-blocking connect, so the main thread only
// waits for its answer.
QCoro::Task<bool> waitForPort(int port, Clock &clock, std::chrono::milliseconds timeout, std::stop_token cancel);

} // namespace cordavelle
