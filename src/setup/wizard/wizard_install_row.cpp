#include "setup/wizard/wizard_install_row.h"

#include "widgets/copyable_command.h"
#include "widgets/form_parts.h"
#include "widgets/status_look.h"
#include "install/installer.h"

#include <QVBoxLayout>

namespace cordavelle {

namespace {

constexpr double kCardTint = 0.05;

} // namespace

WizardCard::WizardCard(QWidget *parent) : WizardTintedBox(toneColour(Tone::gray, QPalette()), kCardTint, parent)
{
    setObjectName(QStringLiteral("wizardCard"));
}

WizardInstallRow::WizardInstallRow(QWidget *parent)
    : QWidget(parent), m_row(new InstallerRow), m_error(new WizardErrorLabel(QString()))
{
    auto *column = bareColumn(this, 16);
    auto *card = new WizardCard(this);
    auto *inside = new QVBoxLayout(card);
    inside->addWidget(m_row);
    column->addWidget(card);
    column->addWidget(m_error);
    m_error->hide();
    connect(m_row, &InstallerRow::commandTriggered, this, &WizardInstallRow::commandTriggered);
}

void WizardInstallRow::drive(Installer &installer)
{
    connect(this, &WizardInstallRow::commandTriggered, this, [&installer](RowCommand command) {
        command == RowCommand::cancel ? installer.cancel() : installer.start();
    });
}

void WizardInstallRow::display(const InstallerRowLook &look, const QString &error)
{
    InstallerRowLook shown = look;
    // The failure stands under the card; the command its advice names stays with the line.
    if (shown.command.isEmpty()) {
        shown.command = adviceCommand(error);
    }
    m_row->display(shown);
    m_error->setMessage(error);
    m_error->setVisible(!error.isEmpty());
}

} // namespace cordavelle
