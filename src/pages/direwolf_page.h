#pragma once

#include "base/service_config.h"
#include "pages/direwolf_page_model.h"
#include "pages/page_parts.h"
#include "pages/service_page_frame.h"
#include "widgets/setting_note.h"

#include <QCoroTask>
#include <QPointer>
#include <QPushButton>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

class QComboBox;
class QFormLayout;
class QLabel;
class QLayout;
class QLineEdit;
class QVBoxLayout;

namespace cordavelle {

class AlertPresenter;
class AudioDeviceManager;
class Clock;
class CoalescedRefresh;
class ConfigStore;
class DirewolfConfRegenerator;
class DirewolfDiscovery;
class KeepaliveRequestAdvertiser;
class LegacyDirewolfCleanup;
class PageSurroundings;
class PortField;
class RigControlServerDiscovery;
class ServiceOrchestrator;
class UserDefaults;

// What the Direwolf page works with; all of it outlives the page.
struct DirewolfPageContext {
    ServiceOrchestrator &orchestrator;
    ConfigStore &config;
    Clock &clock;
    AudioDeviceManager &audio;
    DirewolfDiscovery &discovery;
    RigControlServerDiscovery &rigControl;
    KeepaliveRequestAdvertiser &keepalive;
    LegacyDirewolfCleanup &legacyCleanup;
    UserDefaults &defaults;
    DirewolfConfRegenerator &regenerator;
    AlertPresenter &alerts;
    // The serial ports and the file picker of "Choose Custom…".
    PageSurroundings &surroundings;
};


// The management window's page for the packet TNC: header, banners, every Direwolf setting,
// the log and where the binary comes from. Each control writes one field of the settings.
class DirewolfPage final : public QWidget {
    Q_OBJECT
public:
    explicit DirewolfPage(const DirewolfPageContext &context, QWidget *parent = nullptr);
    ~DirewolfPage() override;

    // "dismissedNativeRigControlNudge" of the standard defaults.
    static const QString kDismissedNudgeKey;

    // The parts tests and pictures look at.
    QLineEdit *callsignField() const { return m_callsign; }
    QWidget *bannerArea() const { return m_banners; }
    QWidget *installationArea() const { return m_installation; }
    QWidget *radioDetails() const { return m_pttDetails; }
    QWidget *restartNotice() const { return m_restartNotice; }
    QLabel *pendingPorts() const { return m_pendingPorts; }

    // Looks for Direwolf, brew and the package manager again, as coming back to the
    // application does.
    void rediscover();

private:
    DirewolfConfig config() const;
    // Stores the record as `change` leaves it; returns why the store refused it, or nothing.
    std::optional<QString> edit(const std::function<void(DirewolfConfig &)> &change);
    // Hands the store's answer to the user's change of `control` to its note, putting the stored
    // settings back on every control when the store refused it. True when refused.
    bool answered(const QWidget *control, const StoreAnswer &answer);
    // Stores that the nudge was dismissed; returns why it could not.
    StoreAnswer dismissNudge();
    void refresh();
    void refreshStation();
    QWidget *buildStation();
    QWidget *buildPorts();
    QWidget *buildRadio();
    void refreshRadio();
    void refreshAudio();
    void refreshPTTDetails();
    // Stores the radio and asks the client to hold it open when Direwolf runs; returns why the
    // store refused it.
    StoreAnswer chooseRadio(const QString &radio);
    void refreshBanners();
    QWidget *nudgeBanner();
    QWidget *legacyBanner();
    QCoro::Task<void> removeLegacyInstall(QPointer<QPushButton> button);
    void refreshInstallation();
    void chooseCustomBinary();
    bool nudgeDismissed() const;

    DirewolfPageContext m_context;
    CoalescedRefresh *m_refresh;
    ServicePageFrame m_frame;
    std::vector<SerialPort> m_serialPorts;
    std::optional<QString> m_aptGet;
    QLineEdit *m_callsign = nullptr;
    QComboBox *m_ssid = nullptr;
    QComboBox *m_speed = nullptr;
    PortField *m_kiss = nullptr;
    PortField *m_agw = nullptr;
    // The stored ports while Direwolf still runs on others.
    QLabel *m_pendingPorts = nullptr;
    QComboBox *m_input = nullptr;
    QComboBox *m_output = nullptr;
    QFormLayout *m_audioRows = nullptr;
    QWidget *m_inputNotes = nullptr;
    QWidget *m_outputNotes = nullptr;
    std::optional<direwolf_page::AudioNotes> m_shownAudioNotes;
    QComboBox *m_ptt = nullptr;
    QWidget *m_pttDetails = nullptr;
    std::optional<QStringList> m_shownPTTDetails;
    QWidget *m_banners = nullptr;
    SettingNote *m_bannerNote = nullptr;
    SettingNote *m_pttDetailsNote = nullptr;
    // The serial port or radio picker under the PTT method, while one is shown.
    QPointer<QComboBox> m_detailsPicker;
    SettingNote *m_installationNote = nullptr;
    QWidget *m_installation = nullptr;
    std::optional<direwolf_page::Installation> m_shownInstallation;
    QWidget *m_restartNotice = nullptr;
};

} // namespace cordavelle
