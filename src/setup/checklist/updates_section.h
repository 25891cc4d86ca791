#pragma once

#include "install/dependency_update_nudge.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <optional>
#include <utility>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace cordavelle {

class CoalescedRefresh;
class ConfigStore;
class HamlibInstaller;
class VARAInstaller;
class WineInstaller;

namespace updates_section {

// One dependency's answer to the manual check: its versions, or none when the check failed.
struct CheckOutcome {
    QString dependency;
    std::optional<DependencyVersions> versions;
};

// The manual check's one-line result. Each installed dependency whose version differs from the
// newest as text gives "<name>: v<installed> → v<latest>", joined by " | ", or "Everything is up
// to date" when none does. Failed checks are named after that ("… | Could not check: Hamlib");
// when every check failed the line says so alone, rather than claiming all is current.
QString resultLine(const std::vector<CheckOutcome> &outcomes);

} // namespace updates_section

// The content of the setup checklist's "Updates" section: the manual check of Wine, Hamlib and
// both VARA modems with its result line, and the update nudge's pending updates, each with its
// dismiss button, plus "Dismiss All" when there are several. The checklist puts it under its
// "Updates" header. The check runs on after the section has gone; its result then goes nowhere.
class UpdatesSection final : public QWidget {
    Q_OBJECT
public:
    UpdatesSection(DependencyUpdateNudge &nudge, WineInstaller &wine, HamlibInstaller &hamlib, VARAInstaller &varaHF,
                   VARAInstaller &varaFM, ConfigStore &config, QWidget *parent = nullptr);

    bool isCheckingUpdates() const { return m_isCheckingUpdates; }
    const std::optional<QString> &updateCheckResult() const { return m_updateCheckResult; }

    // Starts the nudge's check and the manual one; the button is hidden until the result is in.
    void checkAllUpdates();

    // The parts tests and pictures look at.
    QPushButton *checkButton() const { return m_check; }
    QLabel *resultLabel() const { return m_result; }
    QPushButton *dismissAllButton() const { return m_dismissAll; }
    QWidget *pendingRows() const { return m_pending; }

private:
    using Lookup = DependencyUpdateNudge::Lookup;
    static QCoro::Task<void> runCheck(QPointer<UpdatesSection> self, std::vector<std::pair<QString, Lookup>> lookups);
    void refresh();

    DependencyUpdateNudge &m_nudge;
    // Wine, Hamlib, VARA HF and VARA FM, checked in this order.
    std::vector<std::pair<QString, Lookup>> m_lookups;
    bool m_isCheckingUpdates = false;
    std::optional<QString> m_updateCheckResult;
    std::vector<PendingDependencyUpdate> m_shownUpdates;
    CoalescedRefresh *m_refresh;

    QPushButton *m_check;
    QWidget *m_busy;
    QLabel *m_result;
    QWidget *m_pending;
    QVBoxLayout *m_pendingRows;
    QWidget *m_dismissAllRow;
    QPushButton *m_dismissAll;
};

} // namespace cordavelle
