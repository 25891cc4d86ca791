#pragma once

#include "base/service_model.h"
#include "platform/described_error.h"

#include <QString>

#include <exception>
#include <optional>

namespace cordavelle {

class WineDrivers;

// Makes a VARA ini ready for a launch: fills in missing capture and playback devices with the
// best device Wine knows and forces the command port the orchestrator will wait on. Writes only
// when something changed.
class VARALaunchConfigurator {
public:
    VARALaunchConfigurator() = delete;

    class Outcome {
    public:
        enum class Kind { iniMissing, unchanged, healed };

        static Outcome iniMissing() { return Outcome(Kind::iniMissing, {}); }
        static Outcome unchanged() { return Outcome(Kind::unchanged, {}); }
        static Outcome healed(QString summary) { return Outcome(Kind::healed, std::move(summary)); }

        Kind kind() const { return m_kind; }
        // The changes, separated by ", "; empty unless healed.
        const QString &summary() const { return m_summary; }

        bool operator==(const Outcome &) const = default;

    private:
        Outcome(Kind kind, QString summary) : m_kind(kind), m_summary(std::move(summary)) {}

        Kind m_kind;
        QString m_summary;
    };

    class Error : public DescribedError {
    public:
        enum class Code { writeFailed };

        // `underlyingDescription` is what writing reported.
        static Error writeFailed(const QString &underlyingDescription);

        Code code() const { return m_code; }
        const QString &underlyingDescription() const { return m_underlying; }

    private:
        Error(Code code, QString underlying);

        Code m_code;
        QString m_underlying;
    };

    // `rigModel` is the Hamlib rig model of the rigctld settings; the radios whose audio reaches
    // the computer over the network (or a virtual cable) get such a device preferred; `drivers`
    // name the devices Wine recorded. Throws `Error` when the changed file can't be written.
    static Outcome selfHeal(VARAVariant variant, std::optional<int> rigModel, const WineDrivers &drivers);
};

} // namespace cordavelle
