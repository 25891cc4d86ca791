#pragma once

#include "setup/wizard/wizard_navigation.h"

#include <QWidget>

#include <vector>

namespace cordavelle {

// The row of numbered circles and titles across the top of the wizard, one per step, joined by
// short lines; it shows the steps passed, the current one and those still to come.
class WizardStepIndicator final : public QWidget {
    Q_OBJECT
public:
    explicit WizardStepIndicator(QWidget *parent = nullptr);

    int currentStep() const { return m_current; }
    void setCurrentStep(int step);
    // Where each step's installs stand, by index; a step not listed counts as done. Only passed
    // steps show it.
    void setStepProgress(std::vector<StepProgress> progress);
    const std::vector<StepProgress> &stepProgress() const { return m_progress; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void describe();
    QFont titleFont() const;
    // The row's width with connectors `connector` points long.
    int rowWidth(int connector) const;

    int m_current = 0;
    StepProgress progressOf(int index) const;

    std::vector<StepProgress> m_progress;
};

} // namespace cordavelle
