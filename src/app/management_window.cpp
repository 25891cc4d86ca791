#include "management_window.h"

#include "app/helper_setup_state.h"
#include "widgets/close_keys.h"

#include <QCloseEvent>
#include <QAction>
#include <QDialog>
#include <QMenuBar>
#include <QTimer>

namespace cordavelle {

ManagementWindow::ManagementWindow(Commands commands, HelperSetupState &setup, WizardFactory wizardFactory,
                                   QWidget *parent)
    : QMainWindow(parent), m_commands(std::move(commands)), m_setup(setup), m_wizardFactory(std::move(wizardFactory))
{
    setObjectName(kIdentifier);
    setWindowTitle(QStringLiteral("Cordavelle Helper"));
    resize(800, 550);
    setCentralWidget(new QWidget(this));
    buildMenus();
    // Hides (or minimises) as the close button does.
    addCloseKeys(*this, false);
    connect(&m_setup, &HelperSetupState::showWizardChanged, this, [this](bool show) {
        if (show) {
            presentWizardIfAsked();
        }
    });
}

void ManagementWindow::buildMenus()
{
    const auto add = [this](QMenu *menu, const QString &text, const QString &name, const std::function<void()> &command,
                            const QKeySequence &shortcut = {}) {
        QAction *action = menu->addAction(text);
        action->setObjectName(name);
        action->setShortcut(shortcut);
        action->setMenuRole(QAction::NoRole);
        connect(action, &QAction::triggered, this, [command] {
            if (command) {
                command();
            }
        });
        return action;
    };
    QMenu *app = menuBar()->addMenu(QStringLiteral("Cordavelle Helper"));
    app->setObjectName(QStringLiteral("appMenu"));
    add(app, QStringLiteral("About Cordavelle Helper"), QStringLiteral("about"), m_commands.about);
    app->addSeparator();
    add(app, QStringLiteral("Settings…"), QStringLiteral("settings"), m_commands.settings,
        QKeySequence(Qt::CTRL | Qt::Key_Comma));
    app->addSeparator();
    add(app, QStringLiteral("Quit Cordavelle Helper"), QStringLiteral("quit"), m_commands.quit,
        QKeySequence(Qt::CTRL | Qt::Key_Q));

    QMenu *help = menuBar()->addMenu(QStringLiteral("Help"));
    help->setObjectName(QStringLiteral("helpMenu"));
    add(help, QStringLiteral("Clear Pairing Information"), QStringLiteral("clearPairing"), m_commands.clearPairing);
    add(help, QStringLiteral("Reset All Configurations..."), QStringLiteral("resetAll"), m_commands.resetAll);
}

void ManagementWindow::setCentralView(QWidget *view)
{
    QWidget *previous = takeCentralWidget();
    setCentralWidget(view);
    delete previous;
}

void ManagementWindow::setTaskbarPresence(bool present)
{
    if (m_taskbarPresence == present) {
        return;
    }
    m_taskbarPresence = present;
    const bool visible = isVisible();
    // Changing the flags hides the window; show it again where it was.
    setWindowFlag(Qt::Tool, !present);
    if (visible) {
        show();
    }
}

void ManagementWindow::closeEvent(QCloseEvent *event)
{
    if (m_minimisesOnClose) {
        event->ignore();
        showMinimized();
        return;
    }
    QMainWindow::closeEvent(event);
}

void ManagementWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_setup.showWizard()) {
        // Once the window is on screen, so that the sheet has a window to sit on.
        QTimer::singleShot(0, this, &ManagementWindow::presentWizardIfAsked);
    }
}

void ManagementWindow::presentWizardIfAsked()
{
    if (!m_setup.showWizard() || m_wizard || !isVisible() || !m_wizardFactory) {
        return;
    }
    m_wizard = m_wizardFactory(this);
    m_wizard->setAttribute(Qt::WA_DeleteOnClose);
    m_wizard->setWindowModality(Qt::WindowModal);
    connect(m_wizard, &QDialog::finished, this, [this] { m_setup.setShowWizard(false); });
    m_wizard->open();
}

} // namespace cordavelle
