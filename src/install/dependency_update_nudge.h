#pragma once

#include "install/dependency_versions.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace cordavelle {

class HamlibInstaller;
class UserDefaults;
class VARAInstaller;
class WineInstaller;

// One dependency with a newer version than the one installed.
struct PendingDependencyUpdate {
    // "Wine", "Hamlib", "Direwolf", "VARA HF" or "VARA FM".
    QString dependency;
    QString currentVersion;
    QString latestVersion;

    // At most one entry per dependency.
    const QString &id() const { return dependency; }
    // "Wine 8.0 → 9.0"
    QString summary() const;

    bool operator==(const PendingDependencyUpdate &) const = default;
};

// One dependency's answer to a check: its versions, or none when the check failed.
struct DependencyCheckOutcome {
    QString dependency;
    std::optional<DependencyVersions> versions;
    // Why there are no versions, when the check said why.
    QString failure = {};
};

// Once per launch and whenever the user asks, finds the dependencies that have a newer version
// than the one installed. An update the user dismissed stays hidden until a different latest
// version shows up for that dependency.
//
// Main thread only.
class DependencyUpdateNudge final : public QObject {
    Q_OBJECT
public:
    // One dependency's check; none when the newest version could not be found (the installer's
    // own check has logged why), or it throws to say why.
    using Lookup = std::function<QCoro::Task<std::optional<DependencyVersions>>()>;
    // The checks, run in this order; a dependency without one is never listed.
    struct Lookups {
        Lookup wine = {};
        Lookup hamlib = {};
        Lookup direwolf = {};
        Lookup varaHF = {};
        Lookup varaFM = {};
    };

    DependencyUpdateNudge(UserDefaults &defaults, Lookups lookups, QObject *parent = nullptr);

    // The standard defaults and the shared installers.
    static DependencyUpdateNudge &shared();

    // Direwolf is no longer built by the helper: its newest version is a fixed one, its installed
    // version the one that old builds recorded.
    static inline const QString kLatestDirewolfVersion = QStringLiteral("1.8.1");
    static Lookup direwolfLookup(std::function<QString()> installedVersion);
    // The installers' own checks as look-ups. A modem's installed version is read from
    // `installedVersion` once the download page has answered.
    static Lookup wineLookup(WineInstaller &installer);
    static Lookup hamlibLookup(HamlibInstaller &installer);
    static Lookup varaLookup(VARAInstaller &installer, std::function<QString()> installedVersion);

    const std::vector<PendingDependencyUpdate> &pendingUpdates() const { return m_pendingUpdates; }
    bool isChecking() const { return m_isChecking; }
    // Every dependency's answer to the last check that ended, in the order checked.
    const std::vector<DependencyCheckOutcome> &lastOutcomes() const { return m_lastOutcomes; }
    // What a check found, as the log says it: the pending updates, and the dependencies whose
    // check got no answer, which are never called current.
    static QString checkSummary(const std::vector<DependencyCheckOutcome> &outcomes,
                                const std::vector<PendingDependencyUpdate> &pending);

    // Starts a check and returns at once; nothing when a check is under way, whose end then
    // serves both callers: every check logs its failures, so one loop means one line each.
    void checkAll();
    // Hides this dependency's update until a different latest version shows up; returns why the
    // dismissal could not be stored, the update then staying listed.
    std::optional<QString> dismiss(PendingDependencyUpdate update);
    // Dismisses each listed update; those whose dismissal could not be stored stay listed, and
    // the first reason is returned.
    std::optional<QString> dismissAll();

Q_SIGNALS:
    void pendingUpdatesChanged();
    void isCheckingChanged();
    // A check has ended; lastOutcomes() holds its answers.
    void checkFinished();

private:
    static QCoro::Task<void> check(QPointer<DependencyUpdateNudge> self);
    bool isDismissed(const PendingDependencyUpdate &update) const;
    void setPendingUpdates(std::vector<PendingDependencyUpdate> updates);
    void setIsChecking(bool checking);

    UserDefaults &m_defaults;
    Lookups m_lookups;
    std::vector<PendingDependencyUpdate> m_pendingUpdates;
    std::vector<DependencyCheckOutcome> m_lastOutcomes;
    bool m_isChecking = false;
};

} // namespace cordavelle
