#include "direwolf_page.h"

#include "widgets/form_parts.h"
#include "widgets/setting_note.h"
#include "widgets/status_look.h"
#include "base/spaces_and_tabs.h"
#include "core/managed_process.h"
#include "core/service_orchestrator.h"
#include "pages/page_surroundings.h"
#include "radio/audio_device_manager.h"
#include "radio/keepalive_request_advertiser.h"
#include "radio/rig_control_server_choice.h"
#include "radio/rig_control_server_discovery.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

namespace cordavelle {

using namespace direwolf_page;

namespace {

void fillDevices(QComboBox *picker, const QString &first, const std::vector<AudioDevice> &devices, const QString &value)
{
    const QSignalBlocker block(picker);
    picker->clear();
    picker->addItem(first, QString());
    for (const AudioDevice &device : devices) {
        picker->addItem(AudioDeviceManager::displayLabel(device, devices), device.uid);
    }
    // A stored device that is unplugged matches no row and shows none.
    picker->setCurrentIndex(picker->findData(value));
}

} // namespace

QWidget *DirewolfPage::buildRadio()
{
    auto *radio = new QWidget;
    auto *column = bareColumn(radio);
    // Each picker's notes stand right under it, as rows of the same form so that the pickers
    // stay lined up.
    m_audioRows = new QFormLayout;
    m_input = new QComboBox;
    connect(m_input, &QComboBox::activated, this, [this](int index) {
        const QString uid = m_input->itemData(index).toString();
        answered(m_input, edit([&](DirewolfConfig &c) { setAudioInputSelection(c, uid); }));
    });
    m_audioRows->addRow(QStringLiteral("Audio Input"), m_input);
    m_audioRows->addRow(new SettingNote(m_input));
    m_inputNotes = new QWidget;
    m_inputNotes->setObjectName(QStringLiteral("audioInputNotes"));
    bareColumn(m_inputNotes);
    m_audioRows->addRow(m_inputNotes);
    m_output = new QComboBox;
    connect(m_output, &QComboBox::activated, this, [this](int index) {
        const QString uid = m_output->itemData(index).toString();
        answered(m_output, edit([&](DirewolfConfig &c) { c.customAudioOutputUID = uid; }));
    });
    m_audioRows->addRow(QStringLiteral("Audio Output"), m_output);
    m_audioRows->addRow(new SettingNote(m_output));
    m_outputNotes = new QWidget;
    m_outputNotes->setObjectName(QStringLiteral("audioOutputNotes"));
    bareColumn(m_outputNotes);
    m_audioRows->addRow(m_outputNotes);
    column->addLayout(m_audioRows);
    auto *refreshDevices = refreshButton(QStringLiteral("Refresh Devices"),
                                         QStringLiteral("Re-scan the system for audio devices. Use after plugging in "
                                                        "a new sound card or radio interface."));
    connect(refreshDevices, &QToolButton::clicked, this, [this] { m_context.audio.refreshDevices(); });
    column->addWidget(refreshDevices, 0, Qt::AlignLeft);

    auto *pttRow = new QFormLayout;
    m_ptt = new QComboBox;
    for (const PTTRow &row : pttRows()) {
        m_ptt->addItem(row.text, int(row.tag));
    }
    connect(m_ptt, &QComboBox::activated, this, [this](int index) {
        const auto tag = PTTMethodTag(m_ptt->itemData(index).toInt());
        answered(m_ptt, edit([tag](DirewolfConfig &c) { setPTTMethodTag(c, tag); }));
    });
    pttRow->addRow(QStringLiteral("PTT Method"), m_ptt);
    pttRow->addRow(new SettingNote(m_ptt));
    column->addLayout(pttRow);
    m_pttDetails = new QWidget;
    bareColumn(m_pttDetails);
    column->addWidget(m_pttDetails);
    // The port and radio pickers are made afresh with the rows they head; their note stays.
    m_pttDetailsNote = new SettingNote;
    column->addWidget(m_pttDetailsNote);
    return radio;
}

void DirewolfPage::refreshRadio()
{
    refreshAudio();
    const QSignalBlocker block(m_ptt);
    m_ptt->setCurrentIndex(m_ptt->findData(int(pttMethodTag(config()))));
    refreshPTTDetails();
}

void DirewolfPage::refreshAudio()
{
    const DirewolfConfig now = config();
    const auto &inputs = m_context.audio.inputDevices();
    const auto &outputs = m_context.audio.outputDevices();
    fillDevices(m_input, QStringLiteral("System Default"), inputs, audioInputSelection(now));
    fillDevices(m_output, QStringLiteral("Same as Input"), outputs, now.customAudioOutputUID);
    AudioNotes notes = audioNotes(now, inputs, outputs);
    // Rows made again on every refresh (each state change of Direwolf) would leave the section
    // laid out around half-made rows for a moment, or for good when nothing asks again.
    if (m_shownAudioNotes && notes == *m_shownAudioNotes) {
        return;
    }
    for (const auto &[box, shown] : {std::pair{m_inputNotes, &notes.input}, std::pair{m_outputNotes, &notes.output}}) {
        clearRows(box->layout());
        for (const AudioNote &note : *shown) {
            box->layout()->addWidget(captionLabel(note.text, note.tone));
        }
        m_audioRows->setRowVisible(box, !shown->empty());
    }
    m_shownAudioNotes = std::move(notes);
}

void DirewolfPage::refreshPTTDetails()
{
    const DirewolfConfig now = config();
    // The server Direwolf's start would take for a radio, as the start chooses it.
    const QList<quint16> helperPorts = m_context.orchestrator.rigControlHelperPorts(now);
    const auto keyedThrough = [this, &helperPorts](const QString &radio) -> std::optional<quint16> {
        const RigControlServerChoice choice = chooseRigControlServer(m_context.rigControl, radio, helperPorts);
        return choice.chosen ? std::optional(choice.chosen->port) : std::nullopt;
    };
    // What the rows below the PTT picker are made from; unchanged, they stay as they are, so
    // that a picker the user has open or focused survives a refresh.
    QStringList shown{QString::number(int(pttMethodTag(now))), serialPortPath(now)};
    for (const SerialPort &port : availablePorts(now, m_serialPorts)) {
        shown << port.id;
    }
    for (const PickerRow &row : nativeRadioRows(now.nativeRigControlRadioName, m_context.rigControl.endpoints(), keyedThrough)) {
        shown << row.text << row.value;
    }
    shown << QString::number(m_context.rigControl.endpoints().isEmpty()) << QString::number(m_context.rigControl.isCurrent());
    if (m_shownPTTDetails == shown) {
        // The rows stay; a picker the user moved to a value that was not stored goes back.
        if (m_detailsPicker) {
            const QSignalBlocker block(m_detailsPicker);
            m_detailsPicker->setCurrentIndex(m_detailsPicker->findData(
                pttMethodTag(now) == PTTMethodTag::serial ? serialPortPath(now)
                                                          : trimmedSpacesAndTabs(now.nativeRigControlRadioName)));
        }
        return;
    }
    m_shownPTTDetails = shown;
    auto *column = static_cast<QVBoxLayout *>(m_pttDetails->layout());
    clearRows(column);
    m_detailsPicker = nullptr;
    switch (pttMethodTag(now)) {
    case PTTMethodTag::serial: {
        auto *row = new QFormLayout;
        auto *line = new QHBoxLayout;
        line->setSpacing(4);
        auto *port = new QComboBox;
        port->setAccessibleName(QStringLiteral("Port"));
        port->addItem(QStringLiteral("Select port…"), QString());
        for (const SerialPort &entry : availablePorts(now, m_serialPorts)) {
            port->addItem(entry.id, entry.id);
        }
        port->setCurrentIndex(port->findData(serialPortPath(now)));
        m_pttDetailsNote->serve(port);
        m_detailsPicker = port;
        connect(port, &QComboBox::activated, this, [this, port](int index) {
            const QString path = port->itemData(index).toString();
            answered(port, edit([&](DirewolfConfig &c) { setSerialPortPath(c, path); }));
        });
        line->addWidget(port, 1);
        auto *again = refreshButton({}, QStringLiteral("Refresh serial ports"));
        connect(again, &QToolButton::clicked, this, [this] {
            m_serialPorts = m_context.surroundings.listSerialPorts();
            refreshPTTDetails();
        });
        line->addWidget(again);
        row->addRow(QStringLiteral("PTT Port"), line);
        column->addLayout(row);
        column->addWidget(captionLabel(QStringLiteral(
            "Which serial port keys the radio's PTT (via DTR/RTS on a dedicated cable). Only needed when your radio "
            "doesn't have USB CAT or you're using a separate PTT cable — the CAT option above is simpler for most "
            "modern radios."), Tone::secondary));
        break;
    }
    case PTTMethodTag::nativeCorvexa: {
        const auto &endpoints = m_context.rigControl.endpoints();
        auto *row = new QFormLayout;
        auto *radio = new QComboBox;
        for (const PickerRow &entry : nativeRadioRows(now.nativeRigControlRadioName, endpoints, keyedThrough)) {
            radio->addItem(entry.text, entry.value);
        }
        radio->setCurrentIndex(radio->findData(trimmedSpacesAndTabs(now.nativeRigControlRadioName)));
        m_pttDetailsNote->serve(radio);
        m_detailsPicker = radio;
        connect(radio, &QComboBox::activated, this,
                [this, radio](int index) { answered(radio, chooseRadio(radio->itemData(index).toString())); });
        row->addRow(QStringLiteral("Radio"), radio);
        column->addLayout(row);
        if (!m_context.rigControl.isCurrent()) {
            column->addWidget(captionLabel(QStringLiteral(
                "Bonjour can't be asked now: avahi-daemon is not running or does not answer. The radios listed are "
                "those it advertised last; the list is brought up to date once it is back."), Tone::orange));
        }
        if (endpoints.isEmpty()) {
            auto *notice = new QWidget;
            auto *texts = bareColumn(notice, 4);
            auto *headline = new QLabel(QStringLiteral("Cordavelle is not currently advertising any rig control endpoints."));
            headline->setWordWrap(true);
            texts->addWidget(headline);
            auto *how = new QLabel;
            setMarkedUpText(how,
                            QStringLiteral("<b>To populate this picker</b>, open Cordavelle and start a Packet Pelorin "
                                           "session on the radio you want to use here — that opens the CAT connection "
                                           "Cordavelle needs to advertise the radio.&nbsp; You can cancel the session "
                                           "as soon as the picker updates; the CAT connection will be held open by "
                                           "Direwolf's keep-alive request once you choose the radio here and start "
                                           "Direwolf."),
                            Qt::RichText);
            how->setWordWrap(true);
            how->setFont(textStyle::caption(how->font()));
            texts->addWidget(how);
            texts->addWidget(captionLabel(QStringLiteral("Longer term: Cordavelle Settings → Radios must have the target radio "
                                                 "configured with source = Direct CAT Native for it to be a candidate "
                                                 "here."),
                                  Tone::secondary));
            column->addWidget(noticeBox(QStringLiteral("exclamationmark.triangle.fill"), Tone::orange, notice));
        } else {
            column->addWidget(captionLabel(QStringLiteral(
                "Direwolf keys PTT via Cordavelle's embedded rig control. When you start Direwolf, Cordavelle is "
                "asked to hold this radio's CAT connection open for as long as Direwolf is running."), Tone::secondary));
        }
        break;
    }
    case PTTMethodTag::rigctld:
        column->addWidget(captionLabel(QStringLiteral(
            "Direwolf keys the radio's PTT via the same rigctld connection the Helper uses for CAT — no extra hardware "
            "required. Works with any radio configured for Managed by = Cordavelle Helper in the main app's Rig "
            "Control settings. If rigctld isn't running when Direwolf starts, the Helper starts it first; should that "
            "fail, Direwolf still transmits audio but does not key PTT. For radios "
            "Corvexa supports natively, \"CAT via Cordavelle\" above is preferred and does not require the Helper's "
            "rigctld to be running."), Tone::secondary));
        break;
    case PTTMethodTag::vox:
        column->addWidget(captionLabel(QStringLiteral(
            "Direwolf transmits audio without host-side PTT control — the radio's own VOX must be enabled and its "
            "threshold set low enough for Direwolf's audio to trigger it. Reliability depends on the radio; CAT via "
            "Cordavelle or Helper rigctld above is preferred when available."), Tone::secondary));
        break;
    }
}

StoreAnswer DirewolfPage::chooseRadio(const QString &radio)
{
    // A radio that was not stored is not asked for either.
    if (StoreAnswer refused = edit([&](DirewolfConfig &c) { c.nativeRigControlRadioName = radio; })) {
        return refused;
    }
    const auto keepalive =
        keepaliveAfterRadioChoice(config(), radio, m_context.orchestrator.direwolfProcess().state());
    if (keepalive.action == KeepaliveAfterChoice::Action::start) {
        m_context.keepalive.startAdvertising(keepalive.radioName);
    } else if (keepalive.action == KeepaliveAfterChoice::Action::stop) {
        m_context.keepalive.stopAdvertising();
    }
    return std::nullopt;
}

} // namespace cordavelle
