#pragma once

#include "platform/described_error.h"
#include "platform/port_listeners.h"
#include "platform/program_search.h"

#include <QString>

#include <exception>

namespace cordavelle {

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
        programChangeableByOthers,
        portInUse,
    };

    static HelperError portNotListening(int port);
    static HelperError serviceNotConfigured(const QString &serviceName);
    static HelperError direwolfConfigWriteFailed(const QString &detail);
    static HelperError binaryIntelOnAppleSilicon(const QString &binaryName, const QString &path);
    // `passedOver`: a Wine the machine has that cannot run 32-bit programs, named so that the
    // error does not read as if there were no Wine at all.
    static HelperError wineNotFound(const QString &passedOver = {})
    {
        return HelperError(Code::wineNotFound, 0, {}, passedOver);
    }
    // A look-up found no Wine but passed over one that another user could change.
    static HelperError wineNotFound(const PassedOver &passedOver) { return notFound(Code::wineNotFound, "Wine", passedOver); }
    static HelperError varaNotInstalled() { return HelperError(Code::varaNotInstalled); }
    // `passedOver`: the copy the look-up did not take because another user could change it.
    static HelperError rigctldNotFound(const std::optional<PassedOver> &passedOver = std::nullopt)
    {
        return passedOver ? notFound(Code::rigctldNotFound, "rigctld", *passedOver) : HelperError(Code::rigctldNotFound);
    }
    static HelperError direwolfNotFound(const std::optional<PassedOver> &passedOver = std::nullopt)
    {
        return passedOver ? notFound(Code::direwolfNotFound, "Direwolf", *passedOver) : HelperError(Code::direwolfNotFound);
    }
    static HelperError direwolfNoCallsign() { return HelperError(Code::direwolfNoCallsign); }
    static HelperError processAlreadyRunning() { return HelperError(Code::processAlreadyRunning); }
    // `service` names the program ("rigctld", "Wine for VARA HF"), `part` what another user
    // could change ("the folder /srv/shared is writable by others").
    static HelperError programChangeableByOthers(const QString &service, const QString &path, const QString &part);
    // `portName` names the port as the service has it ("rigctld's port", "Direwolf's KISS port");
    // `configurable` when the user may choose another. The text names whose program holds it, so
    // that the user knows whether stopping it is theirs to do.
    static HelperError portInUse(const QString &portName, int port, bool configurable, const PortHolder &holder);

    Code code() const { return m_code; }
    int port() const { return m_port; }
    // The service name, the write-failure detail, the binary name or the port's name, as the
    // case carries.
    const QString &text() const { return m_text; }
    // A port in use: whose program holds it ("by another user's program").
    const QString &path() const { return m_path; }
    // The part of a program's path that another user could change; a port in use: the advice.
    const QString &part() const { return m_part; }

    bool operator==(const HelperError &other) const
    {
        return m_code == other.m_code && m_port == other.m_port && m_text == other.m_text && m_path == other.m_path &&
               m_part == other.m_part;
    }

private:
    static HelperError notFound(Code code, const char *program, const PassedOver &passedOver)
    {
        return HelperError(code, 0, QString::fromLatin1(program), passedOver.path, passedOver.part);
    }
    explicit HelperError(Code code, int port = 0, QString text = {}, QString path = {}, QString part = {});

    Code m_code;
    int m_port;
    QString m_text;
    QString m_path;
    QString m_part;
};

} // namespace cordavelle
