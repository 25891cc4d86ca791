#include "setup/wizard/wizard_packet_step.h"

#include "widgets/coalesced_refresh.h"
#include "widgets/form_parts.h"
#include "base/tool_lookup.h"
#include "platform/app_activation.h"
#include "radio/direwolf_discovery.h"
#include "setup/wizard/install_steps_model.h"
#include "setup/wizard/wizard_components.h"
#include "setup/wizard/wizard_install_row.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace cordavelle {

WizardPacketStep::WizardPacketStep(DirewolfDiscovery &discovery, AppActivation &activation, QWidget *parent)
    : WizardStep(parent), m_discovery(discovery), m_activation(activation), m_aptGet(tools::findAptGet()),
      m_row(new WizardInstallRow(this)),
      m_note(captionLabel(QStringLiteral("Where the system has no package manager of its own, Cordavelle uses "
                                         "Homebrew as the canonical way to install and update Direwolf."),
                          Tone::tertiary, this)),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    m_row->setObjectName(QStringLiteral("direwolfRow"));
    QVBoxLayout *column = wizardPageColumn(this);
    column->addWidget(wizardHeader(QStringLiteral("dog.fill"),
                                   QStringLiteral("Packet Radio (Optional)"), QString()));
    column->addWidget(divider());
    auto *rowAndNote = new QVBoxLayout;
    rowAndNote->setSpacing(12);
    rowAndNote->addWidget(m_row);
    m_note->setContentsMargins(12, 0, 12, 0);
    rowAndNote->addWidget(m_note);
    column->addLayout(rowAndNote);
    column->addStretch();
    column->addWidget(new WizardInfoBox(
        QStringLiteral("You can skip this step"),
        QStringLiteral("Direwolf is only needed for Packet (AX.25) on VHF/UHF.  If you only use VARA HF, VARA FM, "
                       "ARDOP, or Telnet, skip this step — you can install Direwolf later from the Direwolf tab in the "
                       "sidebar."),
        this));

    connect(m_row, &WizardInstallRow::commandTriggered, this, [this](RowCommand command) {
        // The terminal's run is not followed: coming back to the helper looks again.
        if (command == RowCommand::start && !m_command.isEmpty()) {
            m_discovery.runInTerminal(m_command);
        }
    });
    const auto schedule = [this] { m_refresh->schedule(); };
    connect(&m_discovery, &DirewolfDiscovery::direwolfPathChanged, this, schedule);
    connect(&m_discovery, &DirewolfDiscovery::brewPathChanged, this, schedule);
    refresh();
}

void WizardPacketStep::shown()
{
    if (!m_whileShown) {
        m_whileShown = connect(&m_activation, &AppActivation::becameActive, this, &WizardPacketStep::rediscover);
    }
    rediscover();
}

void WizardPacketStep::hideEvent(QHideEvent *event)
{
    disconnect(m_whileShown);
    m_whileShown = {};
    WizardStep::hideEvent(event);
}

void WizardPacketStep::rediscover()
{
    m_aptGet = tools::findAptGet();
    m_discovery.refresh();
    m_refresh->schedule();
}

void WizardPacketStep::refresh()
{
    const wizard::PacketRow row = wizard::packetRow(m_discovery.direwolfPath(), m_discovery.brewPath(), m_aptGet);
    m_command = row.command;
    m_row->display(wizard::packetRowLook(row));
    if (QPushButton *button = m_row->row()->button()) {
        setHelpText(button, row.buttonHelp);
    }
    m_note->setVisible(row.kind == wizard::PacketRow::Kind::noHomebrew);
    if (auto *subtitle = findChild<QLabel *>(QStringLiteral("wizardSubtitle"))) {
        setToneText(subtitle, wizard::packetSubtitle(row.kind), Tone::secondary);
    }
}

} // namespace cordavelle
