#pragma once

#include "setup/wizard/wizard_navigation.h"

#include <QDialog>

#include <array>
#include <functional>
#include <vector>

class QPushButton;
class QVBoxLayout;

namespace cordavelle {

class SettingNote;

class AccentButton;
class HelperSetupState;
class UserDefaults;
class WizardStep;
class WizardStepIndicator;

// The first-run wizard: the step indicator, one page at a time in a scrolling column, and
// Back / Continue / Done. The chosen features decide which pages Continue and Back visit. It is
// left only through Done on the last page, which records that set-up was completed.
class HelperSetupWizardView final : public QDialog {
    Q_OBJECT
public:
    // Builds the page of a step when it is first visited. `features` is the wizard's choice,
    // which only the Features page edits; it outlives every page.
    using PageFactory = std::function<WizardStep *(int index, WizardFeatures &features)>;

    HelperSetupWizardView(HelperSetupState &state, UserDefaults &defaults, PageFactory pages,
                          QWidget *parent = nullptr);

    int currentStep() const { return m_current; }
    const WizardFeatures &features() const { return m_features; }
    // The step's page once it has been visited.
    WizardStep *page(int index) const { return m_pages.at(index); }
    QPushButton *backButton() const { return m_back; }
    QPushButton *continueButton() const;
    QPushButton *doneButton() const;

    void navigateForward();
    void navigateBack();
    // Records completion, then clears the request for the wizard, then closes it. Completion
    // that could not be stored leaves the wizard up, saying why under its buttons.
    void completeSetup();
    // Where each step's installs stand, which the step indicator shows once a step is passed.
    void setStepProgress(std::vector<StepProgress> progress);
    WizardStepIndicator *stepIndicator() const { return m_indicator; }

    QSize sizeHint() const override { return {750, 750}; }
    // Escape goes back where Back is offered and does nothing elsewhere.
    void reject() override;

Q_SIGNALS:
    // A step's page is shown: the first, and each one Continue or Back leads to.
    void stepShown(int index);

protected:
    // The window's close control leaves the wizard for this run; only Done marks the setup done.
    void closeEvent(QCloseEvent *event) override;

private:
    void showStep(int index);

    HelperSetupState &m_state;
    UserDefaults &m_defaults;
    PageFactory m_factory;
    WizardFeatures m_features;
    int m_current = -1;
    std::array<WizardStep *, 7> m_pages{};
    WizardStepIndicator *m_indicator;
    QVBoxLayout *m_column;
    QPushButton *m_back;
    AccentButton *m_continue;
    AccentButton *m_done;
    SettingNote *m_doneNote;
    bool m_completing = false;
};

} // namespace cordavelle
