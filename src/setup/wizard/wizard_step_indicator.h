#pragma once

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
    // The steps whose install failed: passed, they are marked rather than checked off.
    void setFailedSteps(std::vector<int> steps);
    const std::vector<int> &failedSteps() const { return m_failed; }

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
    std::vector<int> m_failed;
};

} // namespace cordavelle
