#pragma once

#include <QObject>

namespace cordavelle {

// Whether the management window should present the first-run setup wizard. Start-up sets it
// when setup was never completed; the wizard's sheet clears it when it closes.
class HelperSetupState final : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool showWizard READ showWizard WRITE setShowWizard NOTIFY showWizardChanged)
public:
    static HelperSetupState &shared();

    using QObject::QObject;

    bool showWizard() const { return m_showWizard; }
    void setShowWizard(bool show);

Q_SIGNALS:
    void showWizardChanged(bool show);

private:
    bool m_showWizard = false;
};

} // namespace cordavelle
