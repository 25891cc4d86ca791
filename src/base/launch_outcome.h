#pragma once

#include <QString>

#include <cstdint>

namespace cordavelle {

// How the last launch of a supervised child stands or ended.
class LaunchOutcome {
public:
    enum class Kind { exitedWithCode, killedBySignal, neverStarted, running, exitedCleanly, stopped };

    static LaunchOutcome exitedWithCode(int32_t code) { return {Kind::exitedWithCode, code}; }
    static LaunchOutcome killedBySignal(int32_t signal) { return {Kind::killedBySignal, signal}; }
    static LaunchOutcome neverStarted() { return {Kind::neverStarted, 0}; }
    static LaunchOutcome running() { return {Kind::running, 0}; }
    static LaunchOutcome exitedCleanly() { return {Kind::exitedCleanly, 0}; }
    // Ended by a stop the helper asked for, however it ended: no failure. The value is the
    // signal (or exit status) it ended with, for the record only.
    static LaunchOutcome stopped(int32_t endedWith) { return {Kind::stopped, endedWith}; }

    // Maps an ended child: a crash (uncaught signal) gives killedBySignal with the status,
    // otherwise status 0 is a clean exit and any other status an exit with that code.
    static LaunchOutcome fromTermination(int32_t status, bool crashedBySignal);

    Kind kind() const { return m_kind; }
    // The exit status or signal number; 0 for the cases without one.
    int32_t value() const { return m_value; }

    // The short label of the service header: "exit=3", "killed sig=15", "never started", "OK",
    // "exited cleanly", "stopped".
    QString displayLabel() const;
    // The error an unexpected end leaves: "Process exited with code 3", or "Process was killed
    // by signal 9 (SIGKILL)"; empty for the cases that are no failure.
    QString failureText() const;
    // "killed by signal 11 (SIGSEGV)": how every text that reports a crash names the signal.
    static QString killedBySignalText(int32_t signal);

    bool operator==(const LaunchOutcome &) const = default;

private:
    LaunchOutcome(Kind kind, int32_t value) : m_kind(kind), m_value(value) {}

    Kind m_kind;
    int32_t m_value;
};

} // namespace cordavelle
