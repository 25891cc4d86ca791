#pragma once

#include "base/service_config.h"
#include "install/dependency_update_nudge.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>

// The decisions of a VARA modem's page, apart from its widgets: which Wine it shows, its version
// row and the update check's result line.
namespace cordavelle::vara_page {

// The "Installation" rows. A dimmed text is drawn in the secondary colour.
struct InstallationRows {
    QString winePath;
    bool winePathDimmed = false;
    // "VARA HF Version"
    QString versionLabel;
    QString version;
    bool versionDimmed = false;
    // Only a recorded version can be compared with the newest one.
    bool canCheck = false;
    bool operator==(const InstallationRows &) const = default;
};
// From the records alone, but for the Wine on this computer (`foundWine`) that the modem would run
// under when no record names one: a recorded version shows even when the modem's files are gone.
InstallationRows installationRows(VARAVariant variant, const VARAConfig &hf, const VARAFMConfig &fm,
                                  const std::optional<QString> &foundWine);

// What the update check says: the newest version against the recorded one as plain text, so any
// difference is an update; none means the check failed, for the reason `failure` gives.
QString updateResultLine(const std::optional<DependencyVersions> &versions, const QString &failure = {});

// What the page shows of its update check. The check holds this object, not the page, so a
// result that comes after the page has gone lands here and goes nowhere else.
class VARAPageState final : public QObject {
    Q_OBJECT
public:
    const std::optional<QString> &updateCheckResult() const { return m_updateCheckResult; }
    bool isCheckingForUpdate() const { return m_isCheckingForUpdate; }

    // Runs `lookup` once (not while a check runs) and keeps its result line.
    static void checkForUpdate(std::shared_ptr<VARAPageState> state, DependencyUpdateNudge::Lookup lookup);

Q_SIGNALS:
    void changed();

private:
    static QCoro::Task<void> check(std::shared_ptr<VARAPageState> state, DependencyUpdateNudge::Lookup lookup);

    std::optional<QString> m_updateCheckResult;
    bool m_isCheckingForUpdate = false;
};

} // namespace cordavelle::vara_page
