#include "setup/wizard/wizard_radio_control_step.h"

#include "widgets/coalesced_refresh.h"
#include "widgets/form_parts.h"
#include "base/helper_places.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "install/installer.h"
#include "setup/wizard/install_steps_model.h"
#include "setup/wizard/wizard_components.h"
#include "setup/wizard/wizard_install_row.h"

#include <QVBoxLayout>

namespace cordavelle {

WizardRadioControlStep::WizardRadioControlStep(Installer &hamlib, ConfigStore &config, QWidget *parent)
    : WizardStep(parent), m_hamlib(hamlib), m_config(config), m_row(new WizardInstallRow(this)),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    m_row->setObjectName(QStringLiteral("hamlibRow"));
    QVBoxLayout *column = wizardPageColumn(this);
    column->addWidget(wizardHeader(QStringLiteral("antenna.radiowaves.left.and.right"), QStringLiteral("Radio Control (Optional)"),
                                   QStringLiteral("Install Hamlib for CAT control of your radio")));
    column->addWidget(divider());
    column->addWidget(m_row);
    column->addStretch();
    m_row->drive(m_hamlib);
    connect(&m_hamlib, &Installer::changed, this, [this] { m_refresh->schedule(); });
    refresh();
}

void WizardRadioControlStep::shown() { refresh(); }

void WizardRadioControlStep::refresh()
{
    wizard::RadioControlFacts facts;
    facts.progress = m_hamlib.progress();
    const InstalledCopy copy = m_hamlib.installedCopy();
    facts.managedInstalled = copy.present;
    facts.installedVersion = copy.version;
    const auto found = tools::findRigctld();
    facts.present = facts.managedInstalled || found.has_value();
    // Only the rigctld the orchestrator would really start is named: it takes a path the user
    // chose over any look-up, and the look-up passes over what it can't run.
    if (found && *found != places::ownRigctld() && m_config.rigctldConfig().rigctldPath.isEmpty()) {
        facts.systemRigctld = found;
    }
    m_row->display(wizard::hamlibRowLook(facts), facts.progress.error);

    const wizard::InfoBoxText text = wizard::radioControlInfoBox(facts);
    if (m_info && m_info->title() == text.title && m_info->message() == text.message) {
        return;
    }
    auto *column = static_cast<QVBoxLayout *>(layout());
    auto *box = new WizardInfoBox(text.title, text.message, this);
    if (m_info) {
        column->replaceWidget(m_info, box);
        delete m_info;
    } else {
        column->addWidget(box);
    }
    m_info = box;
}

} // namespace cordavelle
