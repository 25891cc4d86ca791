#pragma once

#include <QAbstractSocket>
#include <QCoroTask>

#include <chrono>

namespace cordavelle {

class Clock;

enum class SocketWaitGoal {
    Connected,    // the connection is established
    BytesWritten, // everything written so far has been handed to the system
    ReadyRead,    // bytes can be read
};

// Waits until `socket` reaches `goal`, fails (an error or the peer closing), or `timeout` passes
// on `clock`, whichever comes first; true only when the goal was reached. Returns at once when
// the goal is already reached or the socket is already unconnected. The caller resumes from the
// event loop, never from inside one of the socket's own signals.
QCoro::Task<bool> waitForSocket(QAbstractSocket &socket, SocketWaitGoal goal, Clock &clock,
                                std::chrono::milliseconds timeout);

} // namespace cordavelle
