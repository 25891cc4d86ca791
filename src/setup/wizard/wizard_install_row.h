#pragma once

#include "setup/installer_row.h"
#include "setup/wizard/wizard_components.h"
#include "setup/wizard/wizard_error_label.h"

#include <QString>

namespace cordavelle {

class Installer;

// One installer line of a wizard page: the setup line on a faint rounded card, and under the
// card the installer's failure text while there is one.
class WizardInstallRow final : public QWidget {
    Q_OBJECT
public:
    explicit WizardInstallRow(QWidget *parent = nullptr);

    // `error`: the installer's own failure text, or empty.
    void display(const InstallerRowLook &look, const QString &error = {});

    // Sends the line's commands to `installer`: Cancel cancels it, any other command starts it.
    void drive(Installer &installer);

    InstallerRow *row() const { return m_row; }
    // Visible only while there is a failure to show.
    WizardErrorLabel *errorLabel() const { return m_error; }

Q_SIGNALS:
    void commandTriggered(cordavelle::RowCommand command);

private:
    InstallerRow *m_row;
    WizardErrorLabel *m_error;
};

// The card behind a wizard page's line: padded, gray at a faint opacity, rounded.
class WizardCard final : public WizardTintedBox {
    Q_OBJECT
public:
    explicit WizardCard(QWidget *parent = nullptr);
};

} // namespace cordavelle
