#pragma once

#include "platform/port_hold.h"
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

// Whose program, other than this process and the launched program `launched`, holds TCP `port`
// now, listening or only bound, on any address of either family; none when nobody else does or
// the kernel's socket table can't be read.
std::optional<PortHolder> otherHolderOf(int port, const ProcessTree &launched = {});

// Whose program holds the IPv6 `address` on `port`, which this process could not bind: a socket
// there or on the wildcard address. Unknown when no such socket can be found (a kernel that does
// not list bound sockets, or the table can't be read).
PortHolder holderOfAddress(int port, PortHold::Address address);

} // namespace cordavelle
