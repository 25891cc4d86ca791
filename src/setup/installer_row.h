#pragma once

#include "install/installer.h"
#include "widgets/status_look.h"
#include "widgets/wrapping_text.h"

#include <QString>
#include <QWidget>

#include <optional>
#include <utility>

class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace cordavelle {

class BusyBar;
class CopyableCommand;
class RowMark;

// The whole percent of a progress fraction, truncated toward zero ("42" for 0.427). A fraction
// outside 0…1 is held to its nearer end and one that is not a number counts as 0, so no installer
// report can reach the integer conversion out of range.
int wholePercent(double fraction);
// wholePercent followed by "%".
QString percentText(double fraction);
// The words of a step under way, each ending in `ellipsis` (the checklist writes three full stops,
// the wizard the ellipsis character); a setting-up step keeps its own message.
QString stepWords(const InstallProgress &progress, QStringView ellipsis);

// The leading mark of a setup line; each has its one colour.
enum class RowIcon {
    installed, // filled circle with a check, green
    missing,   // empty circle, gray
    working,   // dotted circle, yellow
    failed,    // filled circle with an exclamation mark, red
    update,    // circle of two arrows, orange
};
Tone rowIconTone(RowIcon icon);
// What the mark means, for those who cannot see it.
QString rowIconMeaning(RowIcon icon);

// What a setup line's controls ask for; the line's owner decides what each means.
enum class RowCommand {
    start,     // install, set up or retry
    configure, // go to the dependency's own page
    cancel,    // stop the running install
    menu,      // the line's context-menu item
};

struct RowButton {
    // A constructor rather than aggregate initialisation: rows name the first few fields only, and
    // the compiler would flag every such row for the fields left at their defaults.
    RowButton(QString label = {}, RowCommand command = RowCommand::start, bool enabled = true, bool accent = false,
              QString disabledReason = {})
        : label(std::move(label)), command(command), enabled(enabled), accent(accent),
          disabledReason(std::move(disabledReason))
    {
    }

    QString label;
    RowCommand command;
    bool enabled;
    // Drawn as a primary action, filled with the accent colour.
    bool accent;
    // Why a disabled button can't be pressed yet ("Install Wine first"): its tooltip, and the
    // line's status words while the line has none of its own.
    QString disabledReason;
    bool operator==(const RowButton &) const = default;
};

// Everything one setup line shows, left to right and top to bottom: mark, title over subtitle,
// then the trailing area (busy indicator or bar, status text, one button, cancel), an error line
// under it and the context menu's one item.
struct InstallerRowLook {
    enum class Indicator { none, spinner, bar };

    RowIcon icon = RowIcon::missing;
    QString title;
    QString subtitle;
    Indicator indicator = Indicator::none;
    // Of the bar, 0…1.
    double fraction = 0.0;
    // The status words (or the bar's percentage); empty for none.
    QString status;
    Tone statusTone = Tone::secondary;
    std::optional<RowButton> button;
    // A check mark (the installed mark) closes the trailing area.
    bool trailingCheck = false;
    // A cancel button with this hover text (empty: none) is shown when set.
    std::optional<QString> cancelHelp;
    // The failure's text, shown under the line; empty for none.
    QString error;
    // A remark under the line (what is wrong with what was found, and the ways out); empty for none.
    QString note;
    // A command the user may run instead, with a Copy button, under the note or the failure;
    // empty for none.
    QString command;
    // The context menu's destructive item; empty for no menu.
    QString menuItem;
    // Why the item is offered but disabled now; empty while it can be chosen.
    QString menuItemUnavailable;

    bool operator==(const InstallerRowLook &) const = default;
};

// `error` with the command its advice ends with, if it has one, to copy.
void setFailureText(InstallerRowLook &look, const QString &error);

// Draws an InstallerRowLook and reports its controls as commands. It keeps nothing but what it
// was last given.
class InstallerRow final : public QWidget {
    Q_OBJECT
public:
    explicit InstallerRow(QWidget *parent = nullptr);

    void display(const InstallerRowLook &look);
    const InstallerRowLook &look() const { return m_look; }

    // The parts the tests and screenshots look at.
    QLabel *statusLabel() const { return m_status; }
    // The button shown now (the accent one for a primary action); none while no button shows.
    QPushButton *button() const;
    QToolButton *cancelButton() const { return m_cancel; }
    WrappingText *errorLabel() const { return m_error; }
    QLabel *noteLabel() const { return m_note; }
    CopyableCommand *commandLine() const { return m_command; }
    // The context menu as it would open now; none when the line offers no item.
    QMenu *contextMenu();

Q_SIGNALS:
    void commandTriggered(cordavelle::RowCommand command);

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    InstallerRowLook m_look;
    RowMark *m_mark;
    QLabel *m_title;
    QLabel *m_subtitle;
    BusyBar *m_spinner;
    QProgressBar *m_bar;
    QLabel *m_status;
    QPushButton *m_button;
    QPushButton *m_accentButton;
    RowMark *m_check;
    QToolButton *m_cancel;
    QWidget *m_errorLine;
    QLabel *m_errorMark;
    WrappingText *m_error;
    QLabel *m_note;
    CopyableCommand *m_command;
    QMenu *m_menu = nullptr;
};

} // namespace cordavelle
