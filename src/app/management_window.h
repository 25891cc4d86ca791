#pragma once

#include <QDialog>
#include <QMainWindow>
#include <QPointer>

#include <functional>

namespace cordavelle {

class HelperSetupState;

// The program's main window ("management", 800 × 550): its menu bar carries the program's
// commands, its body is the management view. Closing it hides it while the tray icon leads back
// to it, and minimises it to the taskbar otherwise.
class ManagementWindow final : public QMainWindow {
    Q_OBJECT
public:
    static inline const QString kIdentifier = QStringLiteral("management");

    struct Commands {
        std::function<void()> about;
        std::function<void()> settings;
        std::function<void()> quit;
        std::function<void()> clearPairing;
        std::function<void()> resetAll;
    };
    // Makes the first-run wizard's sheet over the window.
    using WizardFactory = std::function<QDialog *(QWidget *parent)>;

    ManagementWindow(Commands commands, HelperSetupState &setup, WizardFactory wizardFactory,
                     QWidget *parent = nullptr);

    // Replaces the body; the window owns it.
    void setCentralView(QWidget *view);
    // The wizard's sheet while it is open.
    QDialog *wizard() const { return m_wizard; }

    // Without a taskbar presence the window shows as a utility window of the tray icon.
    void setTaskbarPresence(bool present);
    bool hasTaskbarPresence() const { return m_taskbarPresence; }
    // Without a tray icon a hidden window could only be had back by launching the program again.
    void setMinimisesOnClose(bool minimises) { m_minimisesOnClose = minimises; }

protected:
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void buildMenus();
    void presentWizardIfAsked();

    Commands m_commands;
    HelperSetupState &m_setup;
    WizardFactory m_wizardFactory;
    QPointer<QDialog> m_wizard;
    bool m_taskbarPresence = true;
    bool m_minimisesOnClose = false;
};

} // namespace cordavelle
