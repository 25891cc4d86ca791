#pragma once

#include "base/service_config.h"
#include "pages/rigctld_page_model.h"
#include "pages/service_page_frame.h"
#include "widgets/setting_note.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QProgressBar;

namespace cordavelle {

class AlertPresenter;
class Clock;
class Installer;
class CoalescedRefresh;
class CommandRunner;
class ConfigStore;
class PageSurroundings;
class PortField;
class ServiceOrchestrator;

// What the rigctld page works with; all of it outlives the page.
struct RigctldPageContext {
    ServiceOrchestrator &orchestrator;
    ConfigStore &config;
    CommandRunner &runner;
    Clock &clock;
    // The serial ports, the automatically found rigctld and the file picker of "Choose Custom…".
    PageSurroundings &surroundings;
    // Why a picked file is not taken.
    AlertPresenter &alerts;
    // The Hamlib installer; none where the helper cannot install Hamlib itself.
    Installer *installer = nullptr;
};

// The management window's page for rigctld: header, every rigctld setting, the connection test,
// the log and where rigctld comes from. Each control writes one field of the settings.
class RigctldPage final : public QWidget {
    Q_OBJECT
public:
    explicit RigctldPage(const RigctldPageContext &context, QWidget *parent = nullptr);
    ~RigctldPage() override;

    const rigctld_page::RigctldPageState &state() const { return *m_state; }
    std::optional<QString> effectiveRigctldPath() const;

    // The parts tests and pictures look at.
    QComboBox *rigModelPicker() const { return m_rigModel; }
    QComboBox *connectionPicker() const { return m_connection; }
    QComboBox *serialPortPicker() const { return m_serialPort; }
    QComboBox *baudRatePicker() const { return m_baudRate; }
    QLineEdit *hostField() const { return m_host; }
    QLabel *hostWarning() const { return m_hostWarning; }
    QLabel *listenCaption() const { return m_listenCaption; }
    // What rigctld runs with while the stored port or listen address waits for its next start.
    QLabel *pendingChanges() const { return m_pendingChanges; }
    QWidget *restartNotice() const { return m_restartNotice; }
    QPushButton *testButton() const { return m_test; }
    QLabel *testResult() const { return m_testResult; }
    QLabel *testHint() const { return m_testHint; }
    QWidget *installationArea() const { return m_installation; }

    void refreshSerialPorts();
    void testConnection();

private:
    RigctldConfig config() const;
    // Stores the record as `change` leaves it; returns why the store refused it, or nothing.
    std::optional<QString> edit(const std::function<void(RigctldConfig &)> &change);
    // Hands the store's answer to the user's change of `control` to its note, putting the stored
    // settings back on every control when the store refused it. True when refused.
    bool answered(const QWidget *control, const StoreAnswer &answer);
    void refresh();
    QWidget *buildRadio();
    QWidget *buildPower();
    QWidget *buildNetwork();
    QWidget *buildTest();
    void refreshRadio();
    void refreshTest();
    void refreshInstallation();
    void refreshInstallerLog();
    QWidget *idleInstallView(const rigctld_page::HamlibSection &shown);
    void act(rigctld_page::HamlibSection::Action action);
    void presentBinaryPicker();

    RigctldPageContext m_context;
    std::shared_ptr<rigctld_page::RigctldPageState> m_state;
    CoalescedRefresh *m_refresh;
    ServicePageFrame m_frame;
    std::vector<SerialPort> m_serialPorts;
    std::vector<rigctld_page::RigModel> m_shownModels;
    QComboBox *m_rigModel = nullptr;
    QComboBox *m_connection = nullptr;
    QFormLayout *m_radioForm = nullptr;
    QWidget *m_serialRows = nullptr;
    QComboBox *m_serialPort = nullptr;
    QComboBox *m_baudRate = nullptr;
    QWidget *m_networkRows = nullptr;
    QLineEdit *m_host = nullptr;
    QLabel *m_hostWarning = nullptr;
    QLabel *m_hostWarningText = nullptr;
    PortField *m_networkPort = nullptr;
    QLabel *m_networkCaption = nullptr;
    QCheckBox *m_managePower = nullptr;
    QWidget *m_powerWarning = nullptr;
    PortField *m_tcpPort = nullptr;
    QLabel *m_listenCaption = nullptr;
    // The stored port and listen address while rigctld still runs on others.
    QLabel *m_pendingChanges = nullptr;
    QPushButton *m_test = nullptr;
    QProgressBar *m_testBusy = nullptr;
    QLabel *m_testResult = nullptr;
    QLabel *m_testHint = nullptr;
    QWidget *m_restartNotice = nullptr;
    QWidget *m_installation = nullptr;
    SettingNote *m_installationNote = nullptr;
    SettingNote *m_serialPortNote = nullptr;
    SettingNote *m_baudRateNote = nullptr;
    SettingNote *m_hostNote = nullptr;
    QPlainTextEdit *m_installerLog = nullptr;
    qsizetype m_installerLogCount = 0;
};

} // namespace cordavelle
