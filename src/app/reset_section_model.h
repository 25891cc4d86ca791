#pragma once

#include "widgets/alert_presenter.h"
#include "widgets/status_look.h"
#include "base/service_model.h"
#include "install/helper_uninstaller.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

namespace cordavelle {

// The three reset levels the settings window offers, by rising reach.
enum class ResetLevel { settings, prefix, everything };

template <>
struct EnumTraits<ResetLevel> {
    static constexpr bool iterable = true;
    static constexpr std::array cases{ResetLevel::settings, ResetLevel::prefix, ResetLevel::everything};
    static constexpr std::array<std::string_view, 3> raw{"settings", "prefix", "everything"};
};

namespace reset_texts {
QString title(ResetLevel level);
QString subtitle(ResetLevel level);
// The title with "…" turned into "?".
QString alertTitle(ResetLevel level);
QString confirmLabel(ResetLevel level);
// `prefixDisplay`: the prefix folder as displayPath shows it.
QString alertMessage(ResetLevel level, const QString &prefixDisplay);
Alert confirmationAlert(ResetLevel level, const QString &prefixDisplay);
inline const QString kFooter = QStringLiteral("Resets are not reversible.  Make sure you actually want this.");
} // namespace reset_texts

// A path with the home folder at its start written as "~"; any other path as it is.
QString displayPath(const QString &path, const QString &home);

// What the result sheet shows for a report.
struct ResetSheet {
    struct Entry {
        QString symbol;
        QString text;
        // Lines below the text (the removed paths).
        QStringList lines;
        bool operator==(const Entry &) const = default;
    };
    QString symbol;
    Tone symbolTone = Tone::green;
    QString title;
    std::vector<Entry> entries;
    // "• " and the error, one per error.
    QStringList warnings;
    bool wasFullReset = false;
    QString buttonLabel;

    bool operator==(const ResetSheet &) const = default;
};
ResetSheet resetSheet(const ResetReport &report, bool wasFullReset, const QString &home);

// The reset section's states: Idle → Confirming (a level awaits confirmation) → Running (every
// button disabled) → Result (the sheet is up) → Idle. Dismissing the sheet of the full reset, by
// any means, quits: the support folder is gone.
class ResetSectionModel final : public QObject {
    Q_OBJECT
public:
    enum class State { idle, confirming, running, result };
    using Runner = std::function<QCoro::Task<ResetReport>(ResetLevel level)>;

    ResetSectionModel(Runner runner, std::function<void()> quit, QObject *parent = nullptr);

    State state() const { return m_state; }
    bool buttonsEnabled() const { return m_state == State::idle; }
    const std::optional<ResetReport> &report() const { return m_report; }
    bool wasFullReset() const { return m_wasFullReset; }

    void request(ResetLevel level);
    void cancel();
    // Runs the pending level; the report is there once the state is `result`.
    QCoro::Task<void> confirm();
    void dismiss();

Q_SIGNALS:
    void changed();

private:
    void setState(State state);

    Runner m_runner;
    std::function<void()> m_quit;
    State m_state = State::idle;
    std::optional<ResetLevel> m_pending;
    std::optional<ResetReport> m_report;
    bool m_wasFullReset = false;
};

} // namespace cordavelle
