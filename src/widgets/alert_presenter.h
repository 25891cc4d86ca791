#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class QAbstractButton;
class QMessageBox;
class QWidget;

namespace cordavelle {

// Draws a button's label in the destructive red while the button is enabled.
void paintDestructive(QAbstractButton &button);

// A modal question or notice: a message, an explanation and the buttons in the order the user
// reads them. The first button is the one that acts.
struct Alert {
    enum class Style { informational, warning, critical };

    Style style = Style::warning;
    QString message;
    QString informativeText;
    QStringList buttons;
    // The first button destroys something: it is drawn as such, and Return chooses the last
    // button (the one that does nothing) instead of it.
    bool destructive = false;

    bool operator==(const Alert &) const = default;
};

// Puts alerts before the user and tells which button was chosen. Behind an interface so that
// tests script the answers.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;

    // Blocks until answered; the index in `alert.buttons` of the chosen button, or -1 when the
    // alert was dismissed otherwise. The alert opens over `over`'s window, the one it belongs to;
    // without one (a question from the tray, or at start-up), over the window in front. When
    // `over`, or the window the alert opened over, goes while the alert is up, the alert goes
    // with it and counts as dismissed (-1): a caller that passed itself reads -1 before touching
    // anything of its own.
    virtual int present(const Alert &alert, QWidget *over) = 0;
    int present(const Alert &alert) { return present(alert, nullptr); }
};

// The desktop's message boxes. Qt orders buttons by the platform's conventions, so the answer is
// found by the clicked button's identity, never by its position.
class MessageBoxAlertPresenter final : public AlertPresenter {
public:
    using AlertPresenter::present;
    int present(const Alert &alert, QWidget *over) override;

    // The window an alert opens above: `over`'s window while it is shown, else the one the user
    // is looking at.
    static QWidget *ownerFor(QWidget *over);
    static QWidget *windowInFront();

    // The message box of an alert, not yet shown and without a parent; `buttons` receives its
    // buttons in the alert's order.
    static std::unique_ptr<QMessageBox> makeMessageBox(const Alert &alert, std::vector<void *> *buttons = nullptr);
};

} // namespace cordavelle
