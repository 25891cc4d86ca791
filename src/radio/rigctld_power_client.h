#pragma once

#include <QCoroTask>
#include <QString>

#include <chrono>
#include <optional>

namespace cordavelle {

class Clock;

// Reads and switches the radio's power through the helper's own rigctld on 127.0.0.1, one short
// connection per command. It keeps no state, logs nothing and never throws: every failure reads
// as an unknown power state or an unacknowledged switch.
class RigctldPowerClient {
public:
    // Waits run on `clock`.
    explicit RigctldPowerClient(Clock &clock) : m_clock(clock) {}

    // How long the connection and the send may take, and how long the reply may take to come.
    static constexpr std::chrono::milliseconds kSendTimeout{1000};
    static constexpr std::chrono::milliseconds kReceiveTimeout{1000};

    // true = on, false = off (rigctld's 0 and 2), absent = unknown.
    QCoro::Task<std::optional<bool>> getPowerState(int port) const;
    // true only when rigctld acknowledged the switch with "RPRT 0".
    QCoro::Task<bool> setPowerState(bool on, int port) const;

    // The power state in a reply: absent when any "RPRT" line carries a negative code, else the
    // first line that is exactly 0, 1 or 2 (spaces and tabs trimmed, an optional sign allowed).
    static std::optional<bool> parsePowerState(const QString &reply);

private:
    // One connection, one send, one read of at most 1024 bytes; the reply as UTF-8 text, or
    // absent on any failure. Static, so that the object may go while the command is under way.
    static QCoro::Task<std::optional<QString>> sendCommand(QString command, int port, Clock &clock);

    Clock &m_clock;
};

} // namespace cordavelle
