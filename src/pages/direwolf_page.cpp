#include "direwolf_page.h"

#include "widgets/coalesced_refresh.h"
#include "widgets/port_field.h"
#include "widgets/setting_note.h"
#include "widgets/status_look.h"
#include "core/config_store.h"
#include "core/managed_process.h"
#include "core/service_orchestrator.h"
#include "install/legacy_direwolf_cleanup.h"
#include "pages/page_surroundings.h"
#include "pages/direwolf_conf_regenerator.h"
#include "radio/audio_device_manager.h"
#include "radio/direwolf_discovery.h"
#include "radio/rig_control_server_discovery.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace cordavelle {

using namespace direwolf_page;

const QString DirewolfPage::kDismissedNudgeKey = QStringLiteral("dismissedNativeRigControlNudge");

DirewolfPage::DirewolfPage(const DirewolfPageContext &context, QWidget *parent)
    : QWidget(parent), m_context(context), m_refresh(new CoalescedRefresh(this, [this] { refresh(); })),
      m_frame(this, ServiceID::direwolf, context.orchestrator, context.clock)
{
    setObjectName(QStringLiteral("DirewolfPage"));
    setWindowTitle(QStringLiteral("Direwolf"));
    ManagedProcess &process = m_context.orchestrator.direwolfProcess();
    m_banners = new QWidget;
    bareColumn(m_banners, 12);
    // The banners are made afresh on every refresh; what their buttons could not store is said
    // under them until the next press.
    m_bannerNote = new SettingNote;
    m_frame.add(withNoteBelow(m_banners, m_bannerNote));

    m_frame.addLifecycle(
        config().lifecycleMode,
        [this](ServiceLifecycleMode mode) { return edit([mode](DirewolfConfig &c) { c.lifecycleMode = mode; }); },
        QStringLiteral("Direwolf must be started manually after Helper launch, even when Always On is selected. "
                       "Always On still applies to crash-restart of a running Direwolf."));
    m_frame.addSection(QStringLiteral("Station"), buildStation());
    m_frame.addSection(QStringLiteral("Radio"), buildRadio());
    m_frame.addSection(QStringLiteral("Network Ports"), buildPorts());

    m_restartNotice = new QWidget;
    auto *notice = new QHBoxLayout(m_restartNotice);
    notice->setContentsMargins(0, 12, 0, 0);
    notice->addWidget(symbolLabel(QStringLiteral("arrow.clockwise.circle"), Tone::secondary, 14));
    notice->addWidget(captionLabel(QStringLiteral("Restart Direwolf to apply configuration changes.")), 1);
    m_frame.column()->addWidget(m_restartNotice);

    m_frame.addLog([this] { m_context.orchestrator.direwolfProcess().setLogLines({}); });
    m_installation = new QWidget;
    bareColumn(m_installation);
    m_installationNote = new SettingNote;
    m_frame.addBelowDivider(withNoteBelow(m_installation, m_installationNote));
    m_frame.column()->addStretch();

    const auto schedule = [this] { m_refresh->schedule(); };
    connect(&m_context.config, &ConfigStore::direwolfConfigChanged, this, schedule);
    connect(&process, &ManagedProcess::stateChanged, this, schedule);
    connect(&m_context.discovery, &DirewolfDiscovery::direwolfPathChanged, this, schedule);
    connect(&m_context.discovery, &DirewolfDiscovery::brewPathChanged, this, schedule);
    connect(&m_context.rigControl, &RigControlServerDiscovery::endpointsChanged, this, schedule);
    connect(&m_context.rigControl, &RigControlServerDiscovery::isCurrentChanged, this, schedule);
    connect(&m_context.audio, &AudioDeviceManager::devicesChanged, this, schedule);
    connect(&m_context.legacyCleanup, &LegacyDirewolfCleanup::isPromptDismissedChanged, this, schedule);
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive) {
            rediscover();
        }
    });

    // Being shown lists the serial ports and looks for Direwolf again; older settings that held
    // only a device name get its identity once per page.
    m_serialPorts = m_context.surroundings.listSerialPorts();
    rediscover();
    if (const auto uid = migratedAudioUID(config(), m_context.audio.inputDevices())) {
        edit([&](DirewolfConfig &c) { c.customAudioDeviceUID = *uid; });
    }
    m_context.regenerator.watch();
    refresh();
}

DirewolfPage::~DirewolfPage() { m_context.regenerator.unwatch(); }

DirewolfConfig DirewolfPage::config() const { return m_context.config.direwolfConfig(); }

std::optional<QString> DirewolfPage::edit(const std::function<void(DirewolfConfig &)> &change)
{
    DirewolfConfig next = config();
    change(next);
    return m_context.config.setDirewolfConfig(next);
}

bool DirewolfPage::answered(const QWidget *control, const StoreAnswer &answer)
{
    return answerChange(control, answer, [this] { refresh(); });
}

void DirewolfPage::rediscover()
{
    m_context.discovery.refresh();
    m_aptGet = tools::findAptGet();
    m_refresh->schedule();
}

void DirewolfPage::refresh()
{
    const DirewolfConfig now = config();
    m_frame.refresh(now.lifecycleMode);
    refreshStation();
    m_kiss->setPort(now.kissPort);
    m_agw->setPort(now.agwPort);
    const DirewolfConfig inEffect = m_context.orchestrator.direwolfConfigInEffect();
    const QString pending = portsWaitingForNextStart(QStringLiteral("Direwolf"),
                                                     {{QStringLiteral("KISS port"), inEffect.kissPort, now.kissPort},
                                                      {QStringLiteral("AGW port"), inEffect.agwPort, now.agwPort}});
    m_pendingPorts->setText(pending);
    m_pendingPorts->setVisible(!pending.isEmpty());
    refreshRadio();
    const ManagedProcess &process = m_context.orchestrator.direwolfProcess();
    m_restartNotice->setVisible(
        settingsChangedSinceLaunch(process.state(), m_context.orchestrator.direwolfLaunchedConfig(), now));
    refreshBanners();
    refreshInstallation();
}

QWidget *DirewolfPage::buildStation()
{
    auto *form = new QWidget;
    auto *rows = new QFormLayout(form);
    // Lined up with the Radio section's rows, which sit in the section's own margins.
    rows->setContentsMargins(0, 0, 0, 0);
    m_callsign = new QLineEdit;
    m_callsign->setMaximumWidth(160);
    m_callsign->setPlaceholderText(QStringLiteral("N0CALL"));
    connect(m_callsign, &QLineEdit::textEdited, this, [this](const QString &text) {
        // Callsigns are upper case; nothing else is done to the text.
        const QString upper = text.toUpper();
        if (upper != text) {
            const int cursor = m_callsign->cursorPosition();
            m_callsign->setText(upper);
            m_callsign->setCursorPosition(cursor);
        }
        answered(m_callsign, edit([&](DirewolfConfig &c) { c.callsign = upper; }));
    });
    rows->addRow(QStringLiteral("Callsign"), m_callsign);
    rows->addRow(new SettingNote(m_callsign));
    m_ssid = new QComboBox;
    for (int ssid = 0; ssid <= 15; ++ssid) {
        m_ssid->addItem(ssid == 0 ? QStringLiteral("0 (none)") : QString::number(ssid), ssid);
    }
    connect(m_ssid, &QComboBox::activated, this, [this](int index) {
        answered(m_ssid, edit([&](DirewolfConfig &c) { c.ssid = m_ssid->itemData(index).toInt(); }));
    });
    rows->addRow(QStringLiteral("SSID"), m_ssid);
    rows->addRow(new SettingNote(m_ssid));
    m_speed = new QComboBox;
    m_speed->addItem(QStringLiteral("1200 baud (VHF)"), int(DirewolfSpeed::baud1200));
    m_speed->addItem(QStringLiteral("9600 baud (VHF)"), int(DirewolfSpeed::baud9600));
    m_speed->addItem(QStringLiteral("19200 baud"), int(DirewolfSpeed::baud19200));
    connect(m_speed, &QComboBox::activated, this, [this](int index) {
        answered(m_speed, edit([&](DirewolfConfig &c) { c.speed = DirewolfSpeed(m_speed->itemData(index).toInt()); }));
    });
    rows->addRow(QStringLiteral("Modem Speed"), m_speed);
    rows->addRow(new SettingNote(m_speed));
    return form;
}

void DirewolfPage::refreshStation()
{
    const DirewolfConfig now = config();
    if (m_callsign->text() != now.callsign) {
        m_callsign->setText(now.callsign);
    }
    m_ssid->setCurrentIndex(m_ssid->findData(now.ssid));
    m_speed->setCurrentIndex(m_speed->findData(int(now.speed)));
}

QWidget *DirewolfPage::buildPorts()
{
    auto *ports = new QWidget;
    auto *column = bareColumn(ports);
    m_kiss = new PortField(QStringLiteral("KISS Port"), config().kissPort,
                          [this](int port) { return edit([port](DirewolfConfig &c) { c.kissPort = port; }); });
    column->addWidget(m_kiss);
    column->addWidget(captionLabel(QStringLiteral("Cordavelle Packet transport connects here.")));
    m_agw = new PortField(QStringLiteral("AGW Port"), config().agwPort,
                          [this](int port) { return edit([port](DirewolfConfig &c) { c.agwPort = port; }); });
    column->addWidget(m_agw);
    column->addWidget(captionLabel(QStringLiteral(
        "For packet applications other than Cordavelle, such as the Pelorin network's Windows client.")));
    // Direwolf binds both listeners to every interface and has no setting to narrow that.
    column->addWidget(captionLabel(QStringLiteral(
        "Direwolf listens on both ports on every network interface, even with network access off: "
        "it has no setting to listen on this computer only.")));
    m_pendingPorts = captionLabel(QString());
    m_pendingPorts->setObjectName(QStringLiteral("pendingPorts"));
    column->addWidget(m_pendingPorts);
    return ports;
}

} // namespace cordavelle
