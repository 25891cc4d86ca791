#pragma once

#include "platform/port_listeners.h"

#include <QCoroTask>

#include <chrono>
#include <stop_token>

namespace cordavelle {

class Clock;

// Looks every 0.5 s on `clock` until the launched program `owner` (or a process of its own)
// listens on TCP `port` (true), `timeout` has passed or `cancel` is requested (false). Another
// program's listener, however well it answers, is not the launched one. Where the kernel's socket
// table can't be read, a connection to 127.0.0.1:port that is accepted counts instead.
QCoro::Task<bool> waitForPort(int port, ProcessTree owner, Clock &clock, std::chrono::milliseconds timeout,
                              std::stop_token cancel);

// Whether the launched program `owner` listens on TCP `port` now; true where the kernel's socket
// table can't be read, which leaves the judgement to a connection.
bool listensOnPort(int port, const ProcessTree &owner);

// Whether a program of another user, root's included, listens on TCP `port`: the helper can
// neither end it nor tell it from its own child by connecting to it.
bool portHeldByAnotherUser(int port);

} // namespace cordavelle
