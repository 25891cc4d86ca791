#include "pages/vara_page_model.h"

#include "base/helper_logger.h"
#include "core/vara_launch_plan.h"
#include "install/installer.h"
#include "platform/described_error.h"

namespace cordavelle::vara_page {

InstallationRows installationRows(VARAVariant variant, const VARAConfig &hf, const VARAFMConfig &fm,
                                  const std::optional<QString> &foundWine)
{
    InstallationRows rows;
    // The Wine a start would run, so that the page and the checklist name the same one.
    const QString wine = VARALaunchPlan::winePath(variant, hf, fm, foundWine);
    rows.winePathDimmed = wine.isEmpty();
    rows.winePath = wine.isEmpty() ? QStringLiteral("Not configured") : wine;
    rows.versionLabel = displayName(variant) + QStringLiteral(" Version");
    const QString installed = variant == VARAVariant::hf ? hf.installedVersion : fm.installedVersion;
    rows.canCheck = !installed.isEmpty();
    rows.versionDimmed = installed.isEmpty();
    rows.version = installed.isEmpty() ? QStringLiteral("Not installed") : QStringLiteral("v") + installed;
    return rows;
}

QString updateResultLine(const std::optional<DependencyVersions> &versions, const QString &failure)
{
    if (!versions) {
        const QString doing = QStringLiteral("Could not check for updates");
        return failure.isEmpty() ? doing : failureWhile(doing, DescribedError(failure));
    }
    if (versions->latest != versions->current) {
        return QStringLiteral("Update available: v") + versions->latest + QStringLiteral(" (installed: v") +
               versions->current + QStringLiteral(")");
    }
    return QStringLiteral("You are running the latest version (v") + versions->current + QStringLiteral(")");
}

void VARAPageState::checkForUpdate(std::shared_ptr<VARAPageState> state, DependencyUpdateNudge::Lookup lookup)
{
    if (state->m_isCheckingForUpdate) {
        return;
    }
    state->m_isCheckingForUpdate = true;
    state->m_updateCheckResult.reset();
    Q_EMIT state->changed();
    check(std::move(state), std::move(lookup));
}

QCoro::Task<void> VARAPageState::check(std::shared_ptr<VARAPageState> state, DependencyUpdateNudge::Lookup lookup)
{
    std::optional<DependencyVersions> versions;
    QString failure;
    try {
        versions = co_await lookup();
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
        HelperLogger::error(QStringLiteral("[VARADetailView] Update check failed: ") + failure,
                            HelperLogger::Category::install);
    }
    state->m_updateCheckResult = updateResultLine(versions, failure);
    state->m_isCheckingForUpdate = false;
    Q_EMIT state->changed();
}

} // namespace cordavelle::vara_page
