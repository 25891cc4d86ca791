#pragma once

#include "setup/wizard/wizard_step.h"

#include <QMetaObject>
#include <QString>

#include <optional>

class QLabel;

namespace cordavelle {

class AppActivation;
class CoalescedRefresh;
class DirewolfDiscovery;
class WizardInstallRow;

// The wizard's "Packet" page: the Direwolf found, or a terminal install of it through the
// system's package manager or Homebrew, or of Homebrew itself. It looks again each time it comes
// into view and each time the user comes back to the helper while it is in view.
class WizardPacketStep final : public WizardStep {
    Q_OBJECT
public:
    WizardPacketStep(DirewolfDiscovery &discovery, AppActivation &activation, QWidget *parent = nullptr);

    void shown() override;

    WizardInstallRow *direwolfRow() const { return m_row; }
    // Under the row only while there is no package manager at all.
    QLabel *homebrewNote() const { return m_note; }

protected:
    void hideEvent(QHideEvent *event) override;

private:
    void rediscover();
    void refresh();

    DirewolfDiscovery &m_discovery;
    AppActivation &m_activation;
    std::optional<QString> m_aptGet;
    QString m_command;
    WizardInstallRow *m_row;
    QLabel *m_note;
    CoalescedRefresh *m_refresh;
    QMetaObject::Connection m_whileShown;
};

} // namespace cordavelle
