// Walks every window as assistive technology sees it and names each control a screen reader or a
// test robot could not find by name.

#include "widgets/alert_presenter.h"
#include "widgets/status_look.h"
#include "app/helper_app.h"
#include "app/management_view.h"
#include "app/management_window.h"
#include "app/status_menu.h"
#include "app/clients_page_model.h"
#include "app/reset_section_model.h"
#include "app/settings_model.h"
#include "pages/direwolf_page_model.h"
#include "setup/checklist/setup_checklist_page.h"
#include "setup/wizard/helper_setup_wizard_view.h"
#include "setup/wizard/wizard_navigation.h"

#include "support/task_outcome.h"
#include "support/app_objects.h"
#include "support/event_wait.h"
#include "support/qt_printers.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

// Where a widget sits, by class and object name, from its window down.
QString pathOf(const QWidget *widget)
{
    QStringList parts;
    for (const QWidget *w = widget; w; w = w->parentWidget()) {
        const QString name = w->objectName();
        parts.prepend(QString::fromLatin1(w->metaObject()->className()) + (name.isEmpty() ? QString() : '#' + name));
        if (w->isWindow()) {
            break;
        }
    }
    return parts.join(QStringLiteral(" > "));
}

bool hasBuddyLabel(const QWidget *field)
{
    const auto labels = field->window()->findChildren<QLabel *>();
    return std::ranges::any_of(labels, [field](const QLabel *label) {
        return label->buddy() == field && !label->text().isEmpty();
    });
}

// The name assistive technology reads for a control. A field's value is no name: a field needs
// its own name or a label that names it as its buddy.
bool isNamed(QWidget *widget)
{
    if (qobject_cast<QLineEdit *>(widget) || qobject_cast<QComboBox *>(widget) ||
        qobject_cast<QAbstractSpinBox *>(widget)) {
        return !widget->accessibleName().isEmpty() || hasBuddyLabel(widget);
    }
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
    return face && !face->text(QAccessible::Name).trimmed().isEmpty();
}

bool isInteractive(QWidget *widget)
{
    if (qobject_cast<QLineEdit *>(widget) && widget->parentWidget() &&
        (qobject_cast<QComboBox *>(widget->parentWidget()) || qobject_cast<QAbstractSpinBox *>(widget->parentWidget()))) {
        return false; // the editor inside a combo or spin box is named through its owner
    }
    return qobject_cast<QAbstractButton *>(widget) || qobject_cast<QComboBox *>(widget) ||
           qobject_cast<QLineEdit *>(widget) || qobject_cast<QAbstractSpinBox *>(widget);
}

// Items a user can select, check or edit, with neither a title nor an accessible text.
void collectUnnamedItems(const QAbstractItemView *view, const QModelIndex &parent, QStringList &found)
{
    const QAbstractItemModel *model = view->model();
    for (int row = 0; row < model->rowCount(parent); ++row) {
        for (int column = 0; column < model->columnCount(parent); ++column) {
            const QModelIndex index = model->index(row, column, parent);
            const Qt::ItemFlags flags = model->flags(index);
            const bool selectable = flags.testFlag(Qt::ItemIsSelectable) &&
                                    view->selectionMode() != QAbstractItemView::NoSelection;
            const bool acts = selectable || flags.testFlag(Qt::ItemIsUserCheckable) || flags.testFlag(Qt::ItemIsEditable);
            const bool named = !index.data(Qt::AccessibleTextRole).toString().isEmpty() ||
                               !index.data(Qt::DisplayRole).toString().isEmpty();
            if (flags.testFlag(Qt::ItemIsEnabled) && acts && !named) {
                found << QStringLiteral("%1: item at row %2, column %3%4")
                             .arg(pathOf(view))
                             .arg(row)
                             .arg(column)
                             .arg(parent.isValid() ? QStringLiteral(" under row %1").arg(parent.row()) : QString());
            }
            if (column == 0) {
                collectUnnamedItems(view, index, found);
            }
        }
    }
}

// A button the display fills only when it shows it (a row's action that changes with the row's
// state), or a part of Qt's own that shows only when the menu bar runs out of room.
bool isFilledWhenShown(QWidget *widget, QWidget *window)
{
    if (widget->objectName().startsWith(QStringLiteral("qt_"))) {
        return true;
    }
    const auto *button = qobject_cast<QAbstractButton *>(widget);
    return button && !widget->isVisibleTo(window) && button->text().isEmpty() && button->icon().isNull();
}

// Every enabled control of `window` that has no name. Hidden ones count too: another state of
// the window shows them.
QStringList unnamedControls(QWidget *window)
{
    QStringList found;
    auto widgets = window->findChildren<QWidget *>();
    widgets.prepend(window);
    for (QWidget *widget : widgets) {
        if (!widget->isEnabled() || isFilledWhenShown(widget, window)) {
            continue;
        }
        if (isInteractive(widget) && !isNamed(widget)) {
            found << pathOf(widget);
        }
        // Markup is for the eye: a listener hears "backtick" where a command was set apart.
        if (QAccessibleInterface *face = QAccessible::queryAccessibleInterface(widget);
            face && isInteractive(widget) &&
            (face->text(QAccessible::Name).contains('`') || face->text(QAccessible::Description).contains('`'))) {
            found << pathOf(widget) + QStringLiteral(" reads markup");
        }
        // A dot says something only through its colour.
        if (qobject_cast<StateDot *>(widget) && widget->isVisibleTo(window) && widget->accessibleName().isEmpty()) {
            found << pathOf(widget);
        }
        if (const auto *view = qobject_cast<QAbstractItemView *>(widget); view && view->model()) {
            collectUnnamedItems(view, view->rootIndex(), found);
        }
    }
    return found;
}

// Judged by the words the user reads, so an alert that forgets to say it destroys is caught.
bool removesOrResets(const QString &buttonText)
{
    static const QStringList verbs{QStringLiteral("Reset"), QStringLiteral("Delete"), QStringLiteral("Remove"),
                                   QStringLiteral("Uninstall"), QStringLiteral("Revoke"), QStringLiteral("Clear")};
    return verbs.contains(buttonText.section(QLatin1Char(' '), 0, 0));
}

// Every alert the windows can put before the user.
std::vector<Alert> everyAlert()
{
    PairedClient client;
    client.hostname = QStringLiteral("shack-laptop");
    std::vector<Alert> alerts{quitConfirmationAlert(),
                              resetAllConfirmationAlert(),
                              httpServerFailureAlert(8380, QStringLiteral("Address already in use")),
                              microphoneDeniedAlert(),
                              servicesStillRunningAlert({ServiceID::varaHF}),
                              noTerminalAlert(QStringLiteral("brew install direwolf")),
                              settings_model::ExperimentalSwitch::warningAlert(),
                              revokeConfirmationAlert(client),
                              direwolf_page::legacyRemovalConfirmation(4096),
                              noLogOpenerAlert(QStringLiteral("/home/ann/.local/share/install.log"))};
    for (ResetLevel level : allCases<ResetLevel>()) {
        alerts.push_back(reset_texts::confirmationAlert(level, QStringLiteral("~/prefix")));
    }
    for (ResetTarget target : {ResetTarget::winePrefix, ResetTarget::varaHF, ResetTarget::varaFM}) {
        alerts.push_back(resetConfirmation(target));
    }
    return alerts;
}

// A newer Wine, so that the setup page lists an update with its own buttons.
DependencyUpdateNudge::Lookups newerWine()
{
    DependencyUpdateNudge::Lookups lookups;
    lookups.wine = []() -> QCoro::Task<std::optional<DependencyVersions>> {
        co_return DependencyVersions{QStringLiteral("10.0"), QStringLiteral("9.0")};
    };
    return lookups;
}

class AccessibilityTest : public ::testing::Test, protected test::AppObjects {
protected:
    AccessibilityTest() : test::AppObjects(newerWine()) {}

    ~AccessibilityTest() override
    {
        setupObjects.wine.cancel();
        setupObjects.hamlib.cancel();
        EXPECT_TRUE(test::processEventsUntil(
            [&] { return !setupObjects.wine.isBusy() && !setupObjects.hamlib.isRunning(); }, std::chrono::seconds(30)))
            << "the cancelled Wine and Hamlib set-ups did not end within 30 s";
        app.reset();
        test::ManualClock::processEvents();
    }

    // Shows `window` laid out, then lists what it leaves unnamed.
    static QStringList walk(QWidget *window)
    {
        window->show();
        EXPECT_TRUE(test::processEventsUntil([window] { return window->isVisible(); }, std::chrono::seconds(30)))
            << "the window did not show within 30 s";
        QApplication::processEvents();
        return unnamedControls(window);
    }
};

TEST_F(AccessibilityTest, EveryControlOfEveryWindowHasAName)
{
    test::runToEnd(pairing.requestPairing(QStringLiteral("c1"), QStringLiteral("shack-laptop"), QStringLiteral("Linux"),
                           QStringLiteral("127.0.0.1")));
    setupObjects.updateNudge.checkAll();
    ASSERT_TRUE(test::processEventsUntil([&] { return !setupObjects.updateNudge.pendingUpdates().empty(); }));
    ManagementWindow &window = app->managementWindow();
    auto *view = window.findChild<ManagementView *>();
    ASSERT_NE(view, nullptr);
    for (SidebarSection section : allCases<SidebarSection>()) {
        view->setSelectedSection(section);
        EXPECT_EQ(walk(&window), QStringList()) << "on the page " << toRaw(section).toStdString();
    }

    app->openSettings();
    ASSERT_NE(app->settingsWindow(), nullptr);
    EXPECT_EQ(walk(app->settingsWindow()), QStringList());
    // A screen reader announces a window by its role and title.
    EXPECT_EQ(QAccessible::queryAccessibleInterface(app->settingsWindow())->role(), QAccessible::Window);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(app->settingsWindow())->text(QAccessible::Name),
              "Cordavelle Helper Settings");
    app->settingsWindow()->close();

    window.findChild<QAction *>(QStringLiteral("about"))->trigger();
    QWidget *about = nullptr;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        about = w->objectName() == QStringLiteral("about") ? w : about;
    }
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(walk(about), QStringList());
    about->close();

    setup.setShowWizard(true);
    ASSERT_TRUE(test::processEventsUntil([&] { return window.wizard() != nullptr; }));
    auto *wizard = static_cast<HelperSetupWizardView *>(window.wizard());
    // With every feature chosen, Continue visits every step.
    for (int step = wizardPage::welcome; step <= wizardLastStep(); ++step) {
        ASSERT_EQ(wizard->currentStep(), step);
        EXPECT_EQ(walk(wizard), QStringList()) << "on the wizard's step " << step;
        if (step < wizardLastStep()) {
            wizard->navigateForward();
        }
    }
    wizard->close();
    window.close();

    for (const Alert &alert : everyAlert()) {
        const auto box = MessageBoxAlertPresenter::makeMessageBox(alert);
        EXPECT_EQ(walk(box.get()), QStringList()) << alert.message.toStdString();
        for (QAbstractButton *button : box->buttons()) {
            if (removesOrResets(button->text())) {
                EXPECT_EQ(box->buttonRole(button), QMessageBox::DestructiveRole) << button->text().toStdString();
                // Return and Space act on these: a slip of the finger must not destroy anything.
                EXPECT_NE(static_cast<QAbstractButton *>(box->defaultButton()), button) << button->text().toStdString();
                EXPECT_NE(box->focusWidget(), button) << button->text().toStdString();
            }
        }
    }
}

} // namespace
} // namespace cordavelle
