#pragma once

#include "platform/described_error.h"

#include <QString>

#include <cstdint>
#include <exception>

namespace cordavelle {

// How the last launch of a supervised child stands or ended.
class LaunchOutcome {
public:
    enum class Kind { exitedWithCode, killedBySignal, neverStarted, running, exitedCleanly };

    static LaunchOutcome exitedWithCode(int32_t code) { return {Kind::exitedWithCode, code}; }
    static LaunchOutcome killedBySignal(int32_t signal) { return {Kind::killedBySignal, signal}; }
    static LaunchOutcome neverStarted() { return {Kind::neverStarted, 0}; }
    static LaunchOutcome running() { return {Kind::running, 0}; }
    static LaunchOutcome exitedCleanly() { return {Kind::exitedCleanly, 0}; }

    // Maps an ended child: a crash (uncaught signal) gives killedBySignal with the status,
    // otherwise status 0 is a clean exit and any other status an exit with that code.
    static LaunchOutcome fromTermination(int32_t status, bool crashedBySignal);

    Kind kind() const { return m_kind; }
    // The exit status or signal number; 0 for the cases without one.
    int32_t value() const { return m_value; }

    // The short label of the service header: "exit=3", "killed sig=15", "never started", "OK",
    // "exited cleanly".
    QString displayLabel() const;
    // The error an unexpected end leaves: "Process exited with code 3", or "Process was killed
    // by signal 9 (SIGKILL)"; empty for the cases that are no failure.
    QString failureText() const;

    bool operator==(const LaunchOutcome &) const = default;

private:
    LaunchOutcome(Kind kind, int32_t value) : m_kind(kind), m_value(value) {}

    Kind m_kind;
    int32_t m_value;
};

// The service core's errors. `what()` and `description()` give the user-facing text that reaches
// `lastError` and the API's error replies.
class HelperError : public DescribedError {
public:
    enum class Code {
        portNotListening,
        serviceNotConfigured,
        direwolfConfigWriteFailed,
        binaryIntelOnAppleSilicon,
        wineNotFound,
        varaNotInstalled,
        rigctldNotFound,
        direwolfNotFound,
        direwolfNoCallsign,
        processAlreadyRunning,
    };

    static HelperError portNotListening(int port);
    static HelperError serviceNotConfigured(const QString &serviceName);
    static HelperError direwolfConfigWriteFailed(const QString &detail);
    static HelperError binaryIntelOnAppleSilicon(const QString &binaryName, const QString &path);
    static HelperError wineNotFound() { return HelperError(Code::wineNotFound); }
    static HelperError varaNotInstalled() { return HelperError(Code::varaNotInstalled); }
    static HelperError rigctldNotFound() { return HelperError(Code::rigctldNotFound); }
    static HelperError direwolfNotFound() { return HelperError(Code::direwolfNotFound); }
    static HelperError direwolfNoCallsign() { return HelperError(Code::direwolfNoCallsign); }
    static HelperError processAlreadyRunning() { return HelperError(Code::processAlreadyRunning); }

    Code code() const { return m_code; }
    int port() const { return m_port; }
    // The service name, the write-failure detail or the binary name, as the case carries.
    const QString &text() const { return m_text; }
    const QString &path() const { return m_path; }

    bool operator==(const HelperError &other) const
    {
        return m_code == other.m_code && m_port == other.m_port && m_text == other.m_text && m_path == other.m_path;
    }

private:
    explicit HelperError(Code code, int port = 0, QString text = {}, QString path = {});

    Code m_code;
    int m_port;
    QString m_text;
    QString m_path;
};

} // namespace cordavelle
