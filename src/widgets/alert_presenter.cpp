#include "alert_presenter.h"

#include "screen_fit.h"
#include "status_look.h"

#include "base/helper_logger.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace cordavelle {

void paintDestructive(QAbstractButton &button)
{
    // Red only while it can be pressed: a disabled button keeps the disabled look.
    QPalette palette = button.palette();
    const QColor red = toneColour(Tone::red, palette);
    palette.setColor(QPalette::Active, QPalette::ButtonText, red);
    palette.setColor(QPalette::Inactive, QPalette::ButtonText, red);
    button.setPalette(palette);
}

std::unique_ptr<QMessageBox> MessageBoxAlertPresenter::makeMessageBox(const Alert &alert, std::vector<void *> *buttons)
{
    auto box = std::make_unique<QMessageBox>();
    switch (alert.style) {
    case Alert::Style::informational:
        box->setIcon(QMessageBox::Information);
        break;
    case Alert::Style::warning:
        box->setIcon(QMessageBox::Warning);
        break;
    case Alert::Style::critical:
        box->setIcon(QMessageBox::Critical);
        break;
    }
    box->setWindowTitle(alert.message);
    box->setText(alert.message);
    box->setTextFormat(Qt::PlainText);
    if (auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))) {
        QFont font = label->font();
        font.setBold(true);
        label->setFont(font);
    }
    box->setInformativeText(alert.informativeText);
    // Errors and names from outside end up in the explanation: never read them as markup.
    if (auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel"))) {
        label->setTextFormat(Qt::PlainText);
        // A command or an error in it can be selected and copied.
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    const qsizetype last = alert.buttons.size() - 1;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        // The first button accepts; the last of several is the escape answer.
        auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        if (i == 0 && alert.destructive) {
            role = QMessageBox::DestructiveRole;
        }
        QPushButton *button = box->addButton(alert.buttons[i], role);
        if (i == 0 && alert.destructive) {
            // Said in red, as the desktop's styles draw no role of their own for it.
            paintDestructive(*button);
        }
        // A destructive action is never one press of Return away.
        if (i == (alert.destructive && last > 0 ? last : 0)) {
            box->setDefaultButton(button);
        }
        if (i > 0 && i == last) {
            box->setEscapeButton(button);
        }
        if (buttons) {
            buttons->push_back(button);
        }
    }
    return box;
}

namespace {

// Whether `modal` keeps the user from `window`: an application-modal dialog blocks every other
// window, a window-modal one the windows it belongs to.
bool blocks(const QWidget *modal, const QWidget *window)
{
    if (modal == window) {
        return false;
    }
    if (modal->windowModality() == Qt::ApplicationModal) {
        return true;
    }
    for (const QWidget *owner = modal->parentWidget(); owner; owner = owner->parentWidget()) {
        if (owner->window() == window) {
            return true;
        }
    }
    return false;
}

} // namespace

// The active window, unless a dialog holds its input; a window the user can reach beside a
// window-modal dialog (the settings beside the wizard) keeps its alerts. With no window active
// (at start-up), the dialog that holds the input, else the window raised last.
QWidget *MessageBoxAlertPresenter::windowInFront()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (QWidget *active = QApplication::activeWindow(); active && !(modal && blocks(modal, active))) {
        return active;
    }
    if (modal) {
        return modal;
    }
    // Never the tray icon's window, which would put the alert in the screen's corner.
    QWidget *found = nullptr;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible() && !window->isMinimized() && isTitledWindow(*window)) {
            found = window;
        }
    }
    return found;
}

QWidget *MessageBoxAlertPresenter::ownerFor(QWidget *over)
{
    QWidget *window = over ? over->window() : nullptr;
    return window && window->isVisible() && !window->isMinimized() ? window : windowInFront();
}

int MessageBoxAlertPresenter::present(const Alert &alert, QWidget *over)
{
    std::vector<void *> buttons;
    // The box is its window's child, so that it sits over it: that window may be deleted while
    // the box's loop runs (a wizard's Done pressed through the accessibility bus reaches it past
    // the modal box) and takes the box with it. Only watched from here, never owned beside it.
    const QPointer<QWidget> asker(over);
    const QPointer<QMessageBox> box = makeMessageBox(alert, &buttons).release();
    box->setParent(ownerFor(over), box->windowFlags());
    if (over) {
        // What the alert asks about went with the widget that asked.
        QObject::connect(over, &QObject::destroyed, box, &QDialog::reject);
    }
    box->exec();
    if (!box || (over && !asker)) {
        HelperLogger::info(QStringLiteral("The alert \"%1\" was dismissed: the window it belonged to went").arg(alert.message));
        delete box.data();
        return -1;
    }
    const auto it = std::find(buttons.begin(), buttons.end(), static_cast<void *>(box->clickedButton()));
    delete box.data();
    return it == buttons.end() ? -1 : int(it - buttons.begin());
}

} // namespace cordavelle
