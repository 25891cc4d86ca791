#include "direwolf_page_model.h"

#include <algorithm>

#include "base/helper_places.h"
#include "base/spaces_and_tabs.h"
#include "pages/page_parts.h"
#include "radio/direwolf_discovery.h"

#include <QFileInfo>
#include <QLocale>

namespace cordavelle::direwolf_page {

const std::vector<PTTRow> &pttRows()
{
    static const std::vector<PTTRow> rows{
        {PTTMethodTag::nativeCorvexa, QStringLiteral("CAT via Cordavelle (Corvexa)")},
        {PTTMethodTag::rigctld, QStringLiteral("CAT via Helper rigctld")},
        {PTTMethodTag::serial, QStringLiteral("Serial cable (DTR/RTS)")},
        {PTTMethodTag::vox, QStringLiteral("VOX (no host-side PTT)")},
    };
    return rows;
}

PTTMethodTag pttMethodTag(const DirewolfConfig &config)
{
    if (!config.pttMethod) {
        return PTTMethodTag::vox;
    }
    switch (config.pttMethod->kind()) {
    case DirewolfPTTMethod::Kind::vox: return PTTMethodTag::vox;
    case DirewolfPTTMethod::Kind::serial: return PTTMethodTag::serial;
    case DirewolfPTTMethod::Kind::rigctld: return PTTMethodTag::rigctld;
    case DirewolfPTTMethod::Kind::nativeCorvexa: return PTTMethodTag::nativeCorvexa;
    }
    return PTTMethodTag::vox;
}

void setPTTMethodTag(DirewolfConfig &config, PTTMethodTag tag)
{
    switch (tag) {
    case PTTMethodTag::vox: config.pttMethod = DirewolfPTTMethod::vox(); break;
    case PTTMethodTag::serial:
        if (!config.pttMethod || !config.pttMethod->isSerial()) {
            config.pttMethod = DirewolfPTTMethod::serial(config.pttPort);
        }
        break;
    case PTTMethodTag::rigctld: config.pttMethod = DirewolfPTTMethod::rigctld(); break;
    case PTTMethodTag::nativeCorvexa: config.pttMethod = DirewolfPTTMethod::nativeCorvexa(); break;
    }
}

QString serialPortPath(const DirewolfConfig &config)
{
    return config.pttMethod && config.pttMethod->isSerial() ? config.pttMethod->portPath() : QString();
}

void setSerialPortPath(DirewolfConfig &config, const QString &path) { config.pttMethod = DirewolfPTTMethod::serial(path); }

std::vector<SerialPort> availablePorts(const DirewolfConfig &config, const std::vector<SerialPort> &listed)
{
    const QString current = config.pttMethod && config.pttMethod->isSerial() ? config.pttMethod->portPath() : config.pttPort;
    return withSavedPort(current, listed);
}

std::vector<PickerRow> nativeRadioRows(const QString &savedName, const QList<RigControlServerEndpoint> &endpoints,
                                       const std::function<std::optional<quint16>(const QString &)> &keyedThrough)
{
    if (!endpoints.isEmpty()) {
        std::vector<PickerRow> rows{{QStringLiteral("Select a radio…"), QString()}};
        for (const RigControlServerEndpoint &endpoint : endpoints) {
            const QString &name = endpoint.radioName;
            if (std::any_of(rows.begin(), rows.end(), [&name](const PickerRow &row) { return row.value == name; })) {
                continue;
            }
            const std::optional<quint16> port = keyedThrough ? keyedThrough(name) : std::optional(endpoint.port);
            rows.push_back({name + (port ? QStringLiteral(" (127.0.0.1:") + QString::number(*port) + QLatin1Char(')')
                                         : QStringLiteral(" (no usable server)")),
                            name});
        }
        return rows;
    }
    const QString saved = trimmedSpacesAndTabs(savedName);
    if (!saved.isEmpty()) {
        return {{saved + QStringLiteral(" (waiting for Cordavelle to advertise…)"), saved}};
    }
    return {{QStringLiteral("No Cordavelle Native radios advertising"), QString()}};
}

KeepaliveAfterChoice keepaliveAfterRadioChoice(const DirewolfConfig &config, const QString &radioName,
                                               ServiceRunState direwolfState)
{
    using Action = KeepaliveAfterChoice::Action;
    if (!config.pttMethod || config.pttMethod->kind() != DirewolfPTTMethod::Kind::nativeCorvexa ||
        direwolfState != ServiceRunState::running) {
        return {};
    }
    const QString trimmed = trimmedSpacesAndTabs(radioName);
    return trimmed.isEmpty() ? KeepaliveAfterChoice{Action::stop, {}} : KeepaliveAfterChoice{Action::start, trimmed};
}

QString audioInputSelection(const DirewolfConfig &config)
{
    return config.audioDevice == DirewolfAudioDevice::custom ? config.customAudioDeviceUID : QString();
}

void setAudioInputSelection(DirewolfConfig &config, const QString &uid)
{
    config.audioDevice = uid.isEmpty() ? DirewolfAudioDevice::default_ : DirewolfAudioDevice::custom;
    config.customAudioDeviceUID = uid;
}

namespace {

std::optional<QString> nameOf(const QString &uid, const std::vector<AudioDevice> &devices)
{
    for (const AudioDevice &device : devices) {
        if (device.uid == uid) {
            return device.name;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> selectedInputName(const DirewolfConfig &config, const std::vector<AudioDevice> &inputs)
{
    if (config.audioDevice != DirewolfAudioDevice::custom || config.customAudioDeviceUID.isEmpty()) {
        return std::nullopt;
    }
    return nameOf(config.customAudioDeviceUID, inputs);
}

std::optional<QString> selectedOutputName(const DirewolfConfig &config, const std::vector<AudioDevice> &outputs)
{
    if (config.customAudioOutputUID.isEmpty()) {
        return std::nullopt;
    }
    return nameOf(config.customAudioOutputUID, outputs);
}

bool sharesName(const std::optional<QString> &name, const std::vector<AudioDevice> &devices)
{
    if (!name) {
        return false;
    }
    return std::count_if(devices.begin(), devices.end(), [&](const AudioDevice &d) { return d.name == *name; }) > 1;
}

QString duplicateNameWarning(bool input)
{
    return QStringLiteral("Another audio ") + (input ? QStringLiteral("input") : QStringLiteral("output")) +
           QStringLiteral(" device shares this name. Cordavelle pins the specific device you picked, but the pairing "
                          "can drift if you unplug or plug in devices.  For a stable long-term setup, give the device "
                          "a name of its own in your sound settings, then pick it here.");
}

AudioNotes audioNotes(const DirewolfConfig &config, const std::vector<AudioDevice> &inputs,
                      const std::vector<AudioDevice> &outputs)
{
    AudioNotes notes;
    if (inputs.empty()) {
        notes.input.push_back({QStringLiteral("No audio input devices detected. Connect your radio's audio interface "
                                              "and click Refresh Devices.")});
    }
    if (sharesName(selectedInputName(config, inputs), inputs)) {
        notes.input.push_back({duplicateNameWarning(true), Tone::orange});
    }
    if (outputs.empty()) {
        notes.output.push_back({QStringLiteral("No audio output devices detected. Connect your radio's audio interface "
                                               "and click Refresh Devices.")});
    } else if (config.customAudioOutputUID.isEmpty()) {
        notes.output.push_back({QStringLiteral("Direwolf will use the input device for transmit audio too. Split only "
                                               "when your interface routes RX and TX through separate devices "
                                               "(DigiRig, dual-CODEC setups, etc.).")});
    }
    if (sharesName(selectedOutputName(config, outputs), outputs)) {
        notes.output.push_back({duplicateNameWarning(false), Tone::orange});
    }
    return notes;
}

std::optional<QString> migratedAudioUID(const DirewolfConfig &config, const std::vector<AudioDevice> &inputs)
{
    if (config.audioDevice != DirewolfAudioDevice::custom || !config.customAudioDeviceUID.isEmpty()) {
        return std::nullopt;
    }
    const QString name = trimmedSpacesAndTabs(config.customAudioDeviceName);
    if (name.isEmpty()) {
        return std::nullopt;
    }
    std::optional<QString> found;
    for (const AudioDevice &device : inputs) {
        if (device.name == name) {
            if (found) {
                return std::nullopt;
            }
            found = device.uid;
        }
    }
    return found;
}

QString binaryPickerFolder(const std::optional<tools::DirewolfChoice> &choice)
{
    return choice ? QFileInfo(choice->path).path() : QStringLiteral("/usr/bin");
}

bool shouldShowNativeRigControlNudge(const DirewolfConfig &config, const QList<RigControlServerEndpoint> &endpoints,
                                     bool dismissed)
{
    return config.pttMethod && config.pttMethod->kind() == DirewolfPTTMethod::Kind::rigctld && !endpoints.isEmpty() &&
           !dismissed;
}

bool shouldShowLegacyCleanupBanner(const LegacyFacts &facts)
{
    return facts.present && !facts.dismissed && facts.otherDirewolfKnown && !facts.holdsBinaryInUse;
}

QString nudgeText(const QString &radioName)
{
    return QStringLiteral("Your radio (") + radioName +
           QStringLiteral(") is configured in Cordavelle with native rig control.  You can switch Direwolf's PTT to "
                          "\"CAT via Cordavelle\" and no longer need the Helper's rigctld process running.  Simpler "
                          "setup, fewer moving parts, no reduction in capability for Corvexa-supported radios.");
}

QString formattedByteCount(qint64 bytes)
{
    const QLocale c = QLocale::c();
    if (bytes >= 1'000'000'000) {
        return c.toString(double(bytes) / 1e9, 'f', 2) + QStringLiteral(" GB");
    }
    return c.toString(double(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB");
}

namespace {
const QString kLegacyFolderText = QStringLiteral("~/.local/share/Cordavelle Helper/direwolf/");
}

QString legacyBannerText(const std::optional<qint64> &size)
{
    if (size) {
        return QStringLiteral("You've moved to a newer Direwolf, but the pre-beta35 build (") + formattedByteCount(*size) +
               QStringLiteral(") is still sitting in ") + kLegacyFolderText +
               QStringLiteral(".  Removing it reclaims the space and clears out an install that no longer receives "
                              "updates.  No user data lives in that directory.");
    }
    return QStringLiteral("You've moved to a newer Direwolf, but the pre-beta35 build is still sitting in ") +
           kLegacyFolderText +
           QStringLiteral(".  Removing it clears out an install that no longer receives updates.  No user data lives "
                          "in that directory.");
}

QString legacyConfirmationText(const std::optional<qint64> &size)
{
    QString text = QStringLiteral("Deletes ") + kLegacyFolderText;
    if (size) {
        text += QStringLiteral(" and reclaims ") + formattedByteCount(*size);
    }
    return text + QStringLiteral(".  Your current Direwolf is unaffected.  This can't be undone — but you can always "
                                 "reinstall Direwolf from this page.");
}

Alert legacyRemovalConfirmation(const std::optional<qint64> &size)
{
    return {Alert::Style::warning,
            QStringLiteral("Remove the legacy Direwolf install?"),
            legacyConfirmationText(size),
            {QStringLiteral("Remove"), QStringLiteral("Cancel")},
            true};
}

} // namespace cordavelle::direwolf_page
