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
class SettingNote;

namespace updates_section {

using CheckOutcome = DependencyCheckOutcome;

// The manual check's one-line result. Each installed dependency whose version differs from the
// newest as text gives "<name>: v<installed> → v<latest>", joined by " | ", or "Everything is up
// to date" when none does. Failed checks come first, grouped by the reason they gave ("Could not
// check VARA HF, VARA FM: <reason>"), and are never called up to date: beside them the others
// read "Everything else is up to date", and when every check failed the line says only that.
QString resultLine(const std::vector<CheckOutcome> &outcomes);

} // namespace updates_section

// The content of the setup checklist's "Updates" section: the manual check of Wine, Hamlib and
// both VARA modems with its result line, and the update nudge's pending updates, each with its
// dismiss button, plus "Dismiss All" when there are several; a dismissal that could not be stored
// leaves its update listed and says why under the list. The checklist puts it under its
// "Updates" header. The check is the nudge's own, so that each failure is looked up and logged
// once; it runs on after the section has gone.
class UpdatesSection final : public QWidget {
    Q_OBJECT
public:
    explicit UpdatesSection(DependencyUpdateNudge &nudge, QWidget *parent = nullptr);

    bool isCheckingUpdates() const { return m_isCheckingUpdates; }
    const std::optional<QString> &updateCheckResult() const { return m_updateCheckResult; }

    // Starts the nudge's check (or joins the one under way); the button is hidden until its
    // result is in.
    void checkAllUpdates();

    // The parts tests and pictures look at.
    QPushButton *checkButton() const { return m_check; }
    QLabel *resultLabel() const { return m_result; }
    QPushButton *dismissAllButton() const { return m_dismissAll; }
    QWidget *pendingRows() const { return m_pending; }
    SettingNote *dismissalNote() const { return m_dismissalNote; }

private:
    void showCheckResult();
    void refresh();

    DependencyUpdateNudge &m_nudge;
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
    SettingNote *m_dismissalNote;
};

} // namespace cordavelle
