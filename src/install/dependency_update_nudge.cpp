#include "dependency_update_nudge.h"

#include "base/helper_logger.h"
#include "core/config_store.h"
#include "install/direwolf_installer.h"
#include "install/hamlib_installer.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "platform/described_error.h"
#include "platform/platform.h"

#include <QPointer>
#include <QStringList>

namespace cordavelle {

namespace {

QString dismissedKey(const QString &dependency) { return QStringLiteral("nudgeDismissed.") + dependency; }

QCoro::Task<std::optional<DependencyVersions>> wineVersions(WineInstaller &installer)
{
    const auto versions = co_await installer.checkForUpdate();
    if (!versions) {
        throw DescribedError(installer.lastUpdateCheckFailure());
    }
    co_return DependencyVersions{versions->first, versions->second};
}

QCoro::Task<std::optional<DependencyVersions>> hamlibVersions(HamlibInstaller &installer)
{
    const auto versions = co_await installer.checkForUpdate();
    if (!versions) {
        throw DescribedError(installer.lastUpdateCheckFailure());
    }
    co_return versions;
}

QCoro::Task<std::optional<DependencyVersions>> varaVersions(VARAInstaller &installer, std::function<QString()> installed)
{
    const std::optional<VARARelease> release = co_await installer.checkForUpdate();
    if (!release) {
        throw DescribedError(installer.lastUpdateCheckFailure());
    }
    co_return DependencyVersions{release->latestVersion, installed()};
}

} // namespace

QString PendingDependencyUpdate::summary() const
{
    return dependency + QLatin1Char(' ') + currentVersion + QStringLiteral(" \u2192 ") + latestVersion;
}

DependencyUpdateNudge::DependencyUpdateNudge(UserDefaults &defaults, Lookups lookups, QObject *parent)
    : QObject(parent), m_defaults(defaults), m_lookups(std::move(lookups))
{
}

DependencyUpdateNudge &DependencyUpdateNudge::shared()
{
    static DependencyUpdateNudge *instance = [] {
        const DirewolfInstaller &direwolf = DirewolfInstaller::shared();
        const ConfigStore &config = ConfigStore::shared();
        Lookups lookups;
        lookups.wine = wineLookup(WineInstaller::shared());
        lookups.hamlib = hamlibLookup(HamlibInstaller::shared());
        lookups.direwolf = direwolfLookup([&direwolf] { return direwolf.installedVersion(); });
        lookups.varaHF = varaLookup(VARAInstaller::hf(), [&config] { return config.varaConfig().installedVersion; });
        lookups.varaFM = varaLookup(VARAInstaller::fm(), [&config] { return config.varaFMConfig().installedVersion; });
        return new DependencyUpdateNudge(Platform::current().standardDefaults(), std::move(lookups));
    }();
    return *instance;
}

DependencyUpdateNudge::Lookup DependencyUpdateNudge::wineLookup(WineInstaller &installer)
{
    return [&installer] { return wineVersions(installer); };
}

DependencyUpdateNudge::Lookup DependencyUpdateNudge::hamlibLookup(HamlibInstaller &installer)
{
    return [&installer] { return hamlibVersions(installer); };
}

DependencyUpdateNudge::Lookup DependencyUpdateNudge::varaLookup(VARAInstaller &installer,
                                                                std::function<QString()> installedVersion)
{
    return [&installer, installedVersion = std::move(installedVersion)] { return varaVersions(installer, installedVersion); };
}

DependencyUpdateNudge::Lookup DependencyUpdateNudge::direwolfLookup(std::function<QString()> installedVersion)
{
    return [installedVersion = std::move(installedVersion)]() -> QCoro::Task<std::optional<DependencyVersions>> {
        co_return DependencyVersions{kLatestDirewolfVersion, installedVersion()};
    };
}

void DependencyUpdateNudge::checkAll()
{
    if (m_isChecking) {
        return;
    }
    setIsChecking(true);
    // The caller goes on before the first look-up starts, as with a task of its own.
    QMetaObject::invokeMethod(
        this, [self = QPointer(this)] { check(self); }, Qt::QueuedConnection);
}

QCoro::Task<void> DependencyUpdateNudge::check(QPointer<DependencyUpdateNudge> self)
{
    const std::pair<QString, Lookup DependencyUpdateNudge::Lookups::*> order[] = {
        {QStringLiteral("Wine"), &Lookups::wine},       {QStringLiteral("Hamlib"), &Lookups::hamlib},
        {QStringLiteral("Direwolf"), &Lookups::direwolf}, {QStringLiteral("VARA HF"), &Lookups::varaHF},
        {QStringLiteral("VARA FM"), &Lookups::varaFM},
    };
    std::vector<PendingDependencyUpdate> candidates;
    std::vector<DependencyCheckOutcome> outcomes;
    for (const auto &[dependency, member] : order) {
        // A copy: the look-up runs across awaits.
        const Lookup lookup = self->m_lookups.*member;
        if (!lookup) {
            continue;
        }
        std::optional<DependencyVersions> versions;
        QString failure;
        try {
            versions = co_await lookup();
        } catch (const std::exception &error) {
            failure = QString::fromUtf8(error.what());
            servicesLog::error(QStringLiteral("[DependencyUpdateNudge] ") + dependency + QStringLiteral(" check failed: ") +
                                   failure);
        }
        if (!self) {
            co_return;
        }
        outcomes.push_back({dependency, versions, failure});
        // Plain texts: any difference is an update, whichever version is higher.
        if (versions && !versions->current.isEmpty() && versions->current != versions->latest) {
            candidates.push_back({dependency, versions->current, versions->latest});
        }
    }
    std::erase_if(candidates, [&](const PendingDependencyUpdate &update) { return self->isDismissed(update); });

    self->m_lastOutcomes = std::move(outcomes);
    self->setPendingUpdates(std::move(candidates));
    self->setIsChecking(false);
    Q_EMIT self->checkFinished();
    servicesLog::info(QStringLiteral("[DependencyUpdateNudge] ") +
                      checkSummary(self->m_lastOutcomes, self->m_pendingUpdates));
}

QString DependencyUpdateNudge::checkSummary(const std::vector<DependencyCheckOutcome> &outcomes,
                                            const std::vector<PendingDependencyUpdate> &pending)
{
    QStringList answered;
    QStringList unchecked;
    for (const DependencyCheckOutcome &outcome : outcomes) {
        (outcome.versions ? answered : unchecked) << outcome.dependency;
    }
    // A check that got no answer never counts as "no update".
    if (!outcomes.empty() && answered.isEmpty()) {
        return QStringLiteral("the check for updates could not be made: no answer for ") +
               unchecked.join(QStringLiteral(", "));
    }
    QString summary;
    if (pending.empty()) {
        summary = unchecked.isEmpty() ? QStringLiteral("no pending updates")
                                      : QStringLiteral("no pending updates for ") + answered.join(QStringLiteral(", "));
    } else {
        QStringList summaries;
        for (const PendingDependencyUpdate &update : pending) {
            summaries << update.summary();
        }
        summary = QStringLiteral("pending updates: ") + summaries.join(QStringLiteral(", "));
    }
    if (!unchecked.isEmpty()) {
        summary += QStringLiteral("; could not check ") + unchecked.join(QStringLiteral(", "));
    }
    return summary;
}

bool DependencyUpdateNudge::isDismissed(const PendingDependencyUpdate &update) const
{
    return m_defaults.stringForKey(dismissedKey(update.dependency)) == update.latestVersion;
}

// By value: callers hand in an entry of the list that this replaces.
std::optional<QString> DependencyUpdateNudge::dismiss(PendingDependencyUpdate update)
{
    // An update hidden without its dismissal stored would come back at the next launch.
    if (std::optional<QString> refused = m_defaults.setObject(dismissedKey(update.dependency), update.latestVersion)) {
        servicesLog::error(QStringLiteral("[DependencyUpdateNudge] could not dismiss ") + update.summary() +
                           QStringLiteral(": ") + *refused);
        return refused;
    }
    std::vector<PendingDependencyUpdate> remaining = m_pendingUpdates;
    std::erase_if(remaining, [&](const PendingDependencyUpdate &entry) { return entry.dependency == update.dependency; });
    setPendingUpdates(std::move(remaining));
    servicesLog::info(QStringLiteral("[DependencyUpdateNudge] dismissed ") + update.summary() +
                      QStringLiteral(" \u2014 badge suppressed until a newer version appears"));
    return std::nullopt;
}

std::optional<QString> DependencyUpdateNudge::dismissAll()
{
    std::optional<QString> firstRefusal;
    std::vector<PendingDependencyUpdate> kept;
    for (const PendingDependencyUpdate &update : m_pendingUpdates) {
        if (std::optional<QString> refused = m_defaults.setObject(dismissedKey(update.dependency), update.latestVersion)) {
            servicesLog::error(QStringLiteral("[DependencyUpdateNudge] could not dismiss ") + update.summary() +
                               QStringLiteral(": ") + *refused);
            if (!firstRefusal) {
                firstRefusal = refused;
            }
            kept.push_back(update);
        }
    }
    if (!firstRefusal) {
        servicesLog::info(QStringLiteral("[DependencyUpdateNudge] dismissed all pending updates"));
    }
    setPendingUpdates(std::move(kept));
    return firstRefusal;
}

void DependencyUpdateNudge::setPendingUpdates(std::vector<PendingDependencyUpdate> updates)
{
    if (updates == m_pendingUpdates) {
        return;
    }
    m_pendingUpdates = std::move(updates);
    Q_EMIT pendingUpdatesChanged();
}

void DependencyUpdateNudge::setIsChecking(bool checking)
{
    if (checking != m_isChecking) {
        m_isChecking = checking;
        Q_EMIT isCheckingChanged();
    }
}

} // namespace cordavelle
