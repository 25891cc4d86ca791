#include "vara_launch_plan.h"

#include "base/helper_error.h"

namespace cordavelle {

QString VARALaunchPlan::resolveWinePath(const QString &preferred, const QString &fallback)
{
    return preferred.isEmpty() ? fallback : preferred;
}

QString VARALaunchPlan::tag() const { return variant == VARAVariant::hf ? QStringLiteral("hf") : QStringLiteral("fm"); }

QString VARALaunchPlan::winePath(VARAVariant variant, const VARAConfig &hf, const VARAFMConfig &fm,
                                 const std::optional<QString> &foundWine)
{
    const bool isHF = variant == VARAVariant::hf;
    const QString recorded = isHF ? resolveWinePath(hf.winePath, fm.winePath) : resolveWinePath(fm.winePath, hf.winePath);
    return resolveWinePath(recorded, foundWine.value_or(QString()));
}

VARALaunchPlan VARALaunchPlan::make(VARAVariant variant, const VARAConfig &hf, const VARAFMConfig &fm,
                                    const QString &winePrefix, const std::optional<QString> &foundWine)
{
    const bool isHF = variant == VARAVariant::hf;
    const QString winePath = VARALaunchPlan::winePath(variant, hf, fm, foundWine);
    const QString varaPath = isHF ? hf.varaPath : fm.varaPath;
    const bool audioDebug = isHF ? hf.audioDebugEnabled : fm.audioDebugEnabled;
    if (winePath.isEmpty()) {
        throw HelperError::wineNotFound();
    }
    if (varaPath.isEmpty()) {
        throw HelperError::varaNotInstalled();
    }

    VARALaunchPlan plan;
    plan.variant = variant;
    plan.program = winePath;
    plan.arguments = QStringList{varaPath};
    plan.port = commandPort(variant);
    plan.environment = {{QStringLiteral("WINEPREFIX"), winePrefix}};
    const QString t = plan.tag();
    if (audioDebug) {
        plan.environment[QStringLiteral("WINEDEBUG")] = QStringLiteral("+mmdevapi,+dsound,+wave");
        plan.startLines << QStringLiteral("[VARA] %1: audio debug mode ON \u2014 WINEDEBUG=+mmdevapi,+dsound,+wave").arg(t);
    }
    plan.startLines << QStringLiteral("[VARA] Starting ") + t + QStringLiteral(": wine=") + winePath +
                           QStringLiteral(" vara=") + varaPath + QStringLiteral(" port=") + QString::number(plan.port);
    plan.failureMessage = QStringLiteral("VARA did not respond on port %1 after %2 attempts (%3s each). Check Wine and "
                                         "VARA installation.")
                              .arg(plan.port)
                              .arg(kLaunchAttempts)
                              .arg(kReadyTimeoutSeconds);
    return plan;
}

} // namespace cordavelle
