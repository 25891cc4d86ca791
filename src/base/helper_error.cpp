#include "helper_error.h"

namespace cordavelle {

HelperError HelperError::portNotListening(int port) { return HelperError(Code::portNotListening, port); }

HelperError HelperError::serviceNotConfigured(const QString &serviceName)
{
    return HelperError(Code::serviceNotConfigured, 0, serviceName);
}

HelperError HelperError::direwolfConfigWriteFailed(const QString &detail)
{
    return HelperError(Code::direwolfConfigWriteFailed, 0, detail);
}

HelperError HelperError::binaryIntelOnAppleSilicon(const QString &binaryName, const QString &path)
{
    return HelperError(Code::binaryIntelOnAppleSilicon, 0, binaryName, path);
}

HelperError HelperError::programChangeableByOthers(const QString &service, const QString &path, const QString &part)
{
    return HelperError(Code::programChangeableByOthers, 0, service, path, part);
}

HelperError HelperError::portInUse(const QString &portName, int port, bool configurable, const PortHolder &holder)
{
    // Kept as the holder and the advice, which make the text.
    QString whose;
    QString advice;
    switch (holder.kind) {
    case PortHolder::Kind::anotherUser:
        whose = QStringLiteral("by another user's program");
        advice = configurable ? QStringLiteral("choose another port") : QString();
        break;
    case PortHolder::Kind::thisUser:
        whose = QStringLiteral("by another of your programs (%1, pid %2)")
                    .arg(holder.process.program, QString::number(holder.process.pid));
        advice = configurable ? QStringLiteral("stop it or choose another port") : QStringLiteral("stop it");
        break;
    case PortHolder::Kind::unknown:
        whose = QStringLiteral("(its owner can't be read)");
        break;
    }
    return HelperError(Code::portInUse, port, portName, whose, advice);
}

namespace {

// "rigctld at /x/rigctld was passed over: it can be changed by another user (…) — …".
QString passedOverDescription(const QString &program, const QString &path, const QString &part)
{
    return passedOverText(program, PassedOver{path, part}) +
           QStringLiteral(" \u2014 choose a program only you or root can change");
}

QString describe(HelperError::Code code, int port, const QString &text, const QString &path, const QString &part)
{
    using Code = HelperError::Code;
    switch (code) {
    case Code::portNotListening:
        return QStringLiteral("Port %1 not listening after timeout").arg(port);
    case Code::serviceNotConfigured:
        return QStringLiteral("Service '%1' not configured").arg(text);
    case Code::direwolfConfigWriteFailed:
        return QStringLiteral("Could not write Direwolf config: %1").arg(text);
    case Code::binaryIntelOnAppleSilicon:
        return QStringLiteral("%1 at %2 is built for another kind of computer (x86_64 only) and cannot run on this "
                              "one.  Install a build of %1 for this computer, for example from your distribution's "
                              "packages, or choose another path.")
            .arg(text, path);
    case Code::wineNotFound:
        if (!part.isEmpty()) {
            return passedOverDescription(text, path, part);
        }
        return path.isEmpty() ? QStringLiteral("Wine not found")
                                : QStringLiteral("Wine not found: the Wine at %1 cannot run 32-bit programs, and "
                                                 "VARA is one")
                                      .arg(path);
    case Code::varaNotInstalled:
        return QStringLiteral("VARA HF not installed");
    case Code::rigctldNotFound:
        return part.isEmpty() ? QStringLiteral("rigctld not found") : passedOverDescription(text, path, part);
    case Code::direwolfNotFound:
        return part.isEmpty() ? QStringLiteral("Direwolf not found \u2014 install it from the Helper's Direwolf page first")
                              : passedOverDescription(text, path, part);
    case Code::direwolfNoCallsign:
        return QStringLiteral("Callsign is required to start Direwolf");
    case Code::processAlreadyRunning:
        return QStringLiteral("Process already running");
    case Code::programChangeableByOthers:
        return QStringLiteral("%1 at %2 can be changed by another user (%3) \u2014 choose a program only you or root "
                              "can change")
            .arg(text, path, part);
    case Code::portInUse:
        return QStringLiteral("%1 %2 is in use %3").arg(text, QString::number(port), path) +
               (part.isEmpty() ? QString() : QString::fromUtf8(" \u2014 ") + part);
    }
    return {};
}

} // namespace

HelperError::HelperError(Code code, int port, QString text, QString path, QString part)
    : DescribedError(describe(code, port, text, path, part)), m_code(code), m_port(port), m_text(std::move(text)),
      m_path(std::move(path)), m_part(std::move(part))
{
}

} // namespace cordavelle
