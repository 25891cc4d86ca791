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

namespace {

QString describe(HelperError::Code code, int port, const QString &text, const QString &path)
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
        return QStringLiteral("%1 at %2 is Intel-only (x86_64), and this Mac is Apple Silicon.  "
                              "Launching Intel binaries as a child of the arm64 Helper often fails silently.  "
                              "Install a native arm64 build \u2014 either via the Helper's own installer, or by "
                              "installing Apple Silicon Homebrew (`/opt/homebrew/`) and running `brew install %1`.")
            .arg(text, path);
    case Code::wineNotFound:
        return QStringLiteral("Wine not found");
    case Code::varaNotInstalled:
        return QStringLiteral("VARA HF not installed");
    case Code::rigctldNotFound:
        return QStringLiteral("rigctld not found");
    case Code::direwolfNotFound:
        return QStringLiteral("Direwolf not found \u2014 install it in the Helper first");
    case Code::direwolfNoCallsign:
        return QStringLiteral("Callsign is required to start Direwolf");
    case Code::processAlreadyRunning:
        return QStringLiteral("Process already running");
    }
    return {};
}

} // namespace

HelperError::HelperError(Code code, int port, QString text, QString path)
    : DescribedError(describe(code, port, text, path)), m_code(code), m_port(port), m_text(std::move(text)),
      m_path(std::move(path))
{
}

} // namespace cordavelle
