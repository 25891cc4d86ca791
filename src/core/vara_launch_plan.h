#pragma once

#include "base/service_config.h"
#include "base/service_model.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <map>
#include <optional>

namespace cordavelle {

// What a start of one VARA modem will run, decided from the settings before anything runs: the
// modem under Wine in the helper's prefix, ready once it answers on its command port, launched
// again while it stays silent.
struct VARALaunchPlan {
    // How long one launch may take to answer, how many launches are tried, and the pause before
    // each launch after the first.
    static constexpr std::chrono::milliseconds kReadyTimeout{20000};
    static constexpr int kLaunchAttempts = 3;
    static constexpr std::chrono::milliseconds kRetryPause{3000};
    // The same, in the whole seconds the log lines give.
    static constexpr int kReadyTimeoutSeconds =
        static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(kReadyTimeout).count());
    static constexpr int kRetryPauseSeconds =
        static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(kRetryPause).count());

    VARAVariant variant = VARAVariant::hf;
    // Wine, with the modem's program as its one argument.
    QString program;
    QStringList arguments;
    // Merged into the helper's own environment for the child.
    std::map<QString, QString> environment;
    // The command port the launch and the readiness probe wait on; both modems share it.
    int port = 0;
    // Logged, in this order, before the first launch.
    QStringList startLines;
    // The last error of a modem that answered none of its launches.
    QString failureMessage;

    // Throws HelperError wineNotFound when there is no Wine (winePath), varaNotInstalled when the
    // variant's own record names no modem program.
    static VARALaunchPlan make(VARAVariant variant, const VARAConfig &hf, const VARAFMConfig &fm,
                               const QString &winePrefix, const std::optional<QString> &foundWine = std::nullopt);

    // The Wine a modem runs under: its own record's; else the other's, as both run in the same
    // prefix; else `foundWine`, one on this computer that no install has recorded yet. Empty
    // when there is none.
    static QString winePath(VARAVariant variant, const VARAConfig &hf, const VARAFMConfig &fm,
                            const std::optional<QString> &foundWine);

    // `preferred` unless it is empty, else `fallback`.
    static QString resolveWinePath(const QString &preferred, const QString &fallback);

    // "hf" or "fm": how the log lines name the variant.
    QString tag() const;

    bool operator==(const VARALaunchPlan &) const = default;
};

} // namespace cordavelle
