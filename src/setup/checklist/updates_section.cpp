#include "setup/checklist/updates_section.h"

#include "widgets/coalesced_refresh.h"
#include "widgets/form_parts.h"
#include "widgets/setting_note.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <numeric>

namespace cordavelle {

namespace updates_section {

QString resultLine(const std::vector<CheckOutcome> &outcomes)
{
    QStringList entries;
    // The checks that failed, grouped by the reason they gave, in the order first met.
    std::vector<std::pair<QString, QStringList>> failed;
    for (const CheckOutcome &outcome : outcomes) {
        if (!outcome.versions) {
            auto group = std::find_if(failed.begin(), failed.end(),
                                      [&](const auto &g) { return g.first == outcome.failure; });
            if (group == failed.end()) {
                group = failed.insert(failed.end(), {outcome.failure, {}});
            }
            group->second << outcome.dependency;
            continue;
        }
        const DependencyVersions &v = *outcome.versions;
        // Plain texts: any difference counts, whichever version is higher.
        if (!v.current.isEmpty() && v.current != v.latest) {
            entries << outcome.dependency + QStringLiteral(": v") + v.current + QStringLiteral(" \u2192 v") + v.latest;
        }
    }
    if (failed.empty()) {
        return entries.isEmpty() ? QStringLiteral("Everything is up to date") : entries.join(QStringLiteral(" | "));
    }
    // A check that failed is never counted as current: it comes first, and only the checks that
    // answered may be called up to date.
    QStringList groups;
    for (const auto &[reason, names] : failed) {
        groups << names.join(QStringLiteral(", ")) + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason);
    }
    QStringList parts{QStringLiteral("Could not check ") + groups.join(QStringLiteral("; "))};
    const qsizetype answered = qsizetype(outcomes.size()) -
                               std::accumulate(failed.begin(), failed.end(), qsizetype(0),
                                               [](qsizetype n, const auto &g) { return n + g.second.size(); });
    if (!entries.isEmpty()) {
        parts << entries;
    } else if (answered > 0) {
        parts << QStringLiteral("Everything else is up to date");
    }
    return parts.join(QStringLiteral(" | "));
}

} // namespace updates_section

UpdatesSection::UpdatesSection(DependencyUpdateNudge &nudge, QWidget *parent)
    : QWidget(parent), m_nudge(nudge), m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    auto *column = bareColumn(this);

    auto *checkLine = new QWidget;
    QHBoxLayout *line = bareRow(checkLine);
    m_check = new QPushButton(QStringLiteral("Check for Updates"));
    m_check->setObjectName(QStringLiteral("checkForUpdates"));
    connect(m_check, &QPushButton::clicked, this, &UpdatesSection::checkAllUpdates);
    line->addWidget(m_check);
    m_busy = new QWidget;
    QHBoxLayout *busy = bareRow(m_busy);
    auto *spinner = new QProgressBar;
    spinner->setRange(0, 0);
    spinner->setTextVisible(false);
    spinner->setFixedWidth(40);
    busy->addWidget(spinner);
    busy->addWidget(captionLabel(QStringLiteral("Checking for updates...")));
    line->addWidget(m_busy);
    line->addStretch();
    m_result = captionLabel(QString());
    m_result->setObjectName(QStringLiteral("updateCheckResult"));
    m_result->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    line->addWidget(m_result, 1);
    column->addWidget(checkLine);

    m_pending = new QWidget;
    m_pendingRows = bareColumn(m_pending);
    column->addWidget(m_pending);

    m_dismissAllRow = new QWidget;
    QHBoxLayout *dismissAll = bareRow(m_dismissAllRow);
    dismissAll->addStretch();
    m_dismissAll = new QPushButton(QStringLiteral("Dismiss All"));
    dismissAll->addWidget(m_dismissAll);
    column->addWidget(m_dismissAllRow);
    m_dismissalNote = new SettingNote(m_dismissAll, QStringLiteral("The update stays listed."));
    m_dismissalNote->setObjectName(QStringLiteral("dismissalNote"));
    connect(m_dismissAll, &QPushButton::clicked, this, [this] { m_dismissalNote->answer(m_nudge.dismissAll()); });
    column->addWidget(m_dismissalNote);

    connect(&m_nudge, &DependencyUpdateNudge::isCheckingChanged, m_refresh, &CoalescedRefresh::schedule);
    connect(&m_nudge, &DependencyUpdateNudge::pendingUpdatesChanged, m_refresh, &CoalescedRefresh::schedule);
    connect(&m_nudge, &DependencyUpdateNudge::checkFinished, this, &UpdatesSection::showCheckResult);
    refresh();
}

void UpdatesSection::checkAllUpdates()
{
    if (m_isCheckingUpdates) {
        return;
    }
    m_isCheckingUpdates = true;
    m_updateCheckResult.reset();
    m_nudge.checkAll();
    // At once: the button must not take a second press before the next refresh.
    refresh();
}

void UpdatesSection::showCheckResult()
{
    if (!m_isCheckingUpdates) {
        return;
    }
    // The section speaks of what the helper installs; Direwolf has its own page.
    std::vector<updates_section::CheckOutcome> outcomes;
    for (const QString &dependency : {QStringLiteral("Wine"), QStringLiteral("Hamlib"), QStringLiteral("VARA HF"),
                                     QStringLiteral("VARA FM")}) {
        for (const DependencyCheckOutcome &outcome : m_nudge.lastOutcomes()) {
            if (outcome.dependency == dependency) {
                outcomes.push_back(outcome);
            }
        }
    }
    m_updateCheckResult = updates_section::resultLine(outcomes);
    m_isCheckingUpdates = false;
    refresh();
}

void UpdatesSection::refresh()
{
    const bool busy = m_isCheckingUpdates || m_nudge.isChecking();
    m_check->setVisible(!busy);
    m_busy->setVisible(busy);
    m_result->setVisible(m_updateCheckResult.has_value());
    m_result->setText(m_updateCheckResult.value_or(QString()));

    const std::vector<PendingDependencyUpdate> &updates = m_nudge.pendingUpdates();
    if (updates != m_shownUpdates) {
        m_shownUpdates = updates;
        while (QLayoutItem *item = m_pendingRows->takeAt(0)) {
            if (QWidget *row = item->widget()) {
                // Later: the row's own dismiss button may be what changed the list.
                row->hide();
                row->deleteLater();
            }
            delete item;
        }
        for (const PendingDependencyUpdate &update : updates) {
            auto *row = new QWidget;
            QHBoxLayout *line = bareRow(row);
            line->addWidget(symbolLabel(QStringLiteral("arrow.triangle.2.circlepath.circle.fill"), Tone::blue, 16));
            auto *summary = new QLabel(update.summary());
            summary->setTextFormat(Qt::PlainText);
            summary->setFont(textStyle::caption(summary->font()));
            line->addWidget(summary, 1);
            auto *dismiss = new QToolButton;
            dismiss->setAutoRaise(true);
            dismiss->setIcon(QIcon(tintedPixmap(symbolIcon(QStringLiteral("xmark.circle.fill")), 14,
                                                toneColour(Tone::secondary, palette()), devicePixelRatioF())));
            dismiss->setToolTip(QStringLiteral("Dismiss this update.  A newer version will re-surface the badge."));
            dismiss->setAccessibleName(QStringLiteral("Dismiss ") + update.summary());
            m_dismissalNote->serve(dismiss);
            connect(dismiss, &QToolButton::clicked, this,
                    [this, update] { m_dismissalNote->answer(m_nudge.dismiss(update)); });
            line->addWidget(dismiss);
            m_pendingRows->addWidget(row);
        }
    }
    m_pending->setVisible(!updates.empty());
    if (updates.empty()) {
        m_dismissalNote->say(std::nullopt);
    }
    m_dismissAllRow->setVisible(updates.size() >= 2);
}

} // namespace cordavelle
