#pragma once

#include "widgets/alert_presenter.h"
#include "widgets/status_look.h"
#include "base/service_config.h"
#include "base/tool_lookup.h"
#include "radio/audio_device_manager.h"
#include "radio/rig_control_server_endpoint.h"
#include "radio/serial_port_manager.h"

#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

// The decisions of the Direwolf page, apart from its widgets: how each picker maps onto the
// settings record, which installation view and buttons show, and when the banners appear.
namespace cordavelle::direwolf_page {

// --- PTT ---
enum class PTTMethodTag { vox, serial, rigctld, nativeCorvexa };

// The picker's rows, in order, with their texts.
struct PTTRow {
    PTTMethodTag tag;
    QString text;
};
const std::vector<PTTRow> &pttRows();

// No stored method reads as VOX.
PTTMethodTag pttMethodTag(const DirewolfConfig &config);
// Picking serial again keeps the chosen path; switching to it takes `pttPort`.
void setPTTMethodTag(DirewolfConfig &config, PTTMethodTag tag);
QString serialPortPath(const DirewolfConfig &config);
void setSerialPortPath(DirewolfConfig &config, const QString &path);
// The listed ports, with a saved port that is no longer listed put first so it stays selectable.
std::vector<SerialPort> availablePorts(const DirewolfConfig &config, const std::vector<SerialPort> &listed);

struct PickerRow {
    QString text;
    QString value;
    bool operator==(const PickerRow &) const = default;
};
// The native radio picker's rows from the client's advertised rig-control servers: one a radio
// name, since the name is what is stored. A lone advert proves no more than several sharing a
// name, so each row shows the port a start would key through, which `keyedThrough` gives for a
// name (nothing when none is usable); without it, the advert's own port.
std::vector<PickerRow> nativeRadioRows(const QString &savedName, const QList<RigControlServerEndpoint> &endpoints,
                                       const std::function<std::optional<quint16>(const QString &)> &keyedThrough = {});

// What the keep-alive advert does after a radio is chosen: only a running Direwolf on native PTT
// is asked for at once; otherwise the next start makes the advert.
struct KeepaliveAfterChoice {
    enum class Action { none, start, stop } action = Action::none;
    QString radioName;
    bool operator==(const KeepaliveAfterChoice &) const = default;
};
KeepaliveAfterChoice keepaliveAfterRadioChoice(const DirewolfConfig &config, const QString &radioName,
                                               ServiceRunState direwolfState);

// --- Audio ---
// The input picker's value: empty for "System Default", else the stored UID.
QString audioInputSelection(const DirewolfConfig &config);
void setAudioInputSelection(DirewolfConfig &config, const QString &uid);
std::optional<QString> selectedInputName(const DirewolfConfig &config, const std::vector<AudioDevice> &inputs);
std::optional<QString> selectedOutputName(const DirewolfConfig &config, const std::vector<AudioDevice> &outputs);
// Whether the chosen device shares its name with another of the same list.
bool sharesName(const std::optional<QString> &name, const std::vector<AudioDevice> &devices);
QString duplicateNameWarning(bool input);
// A caption under an audio picker.
struct AudioNote {
    QString text;
    Tone tone = Tone::secondary;
    bool operator==(const AudioNote &) const = default;
};
// What stands under each picker: under the input one, the note that there is no input device and
// the input's shared-name warning; under the output one, the note that there is no output device
// or that the input device transmits too, and the output's shared-name warning.
struct AudioNotes {
    std::vector<AudioNote> input;
    std::vector<AudioNote> output;
    bool operator==(const AudioNotes &) const = default;
};
AudioNotes audioNotes(const DirewolfConfig &config, const std::vector<AudioDevice> &inputs,
                      const std::vector<AudioDevice> &outputs);
// The UID that settings holding only a device name (older versions) migrate to: only when exactly
// one input device carries that name.
std::optional<QString> migratedAudioUID(const DirewolfConfig &config, const std::vector<AudioDevice> &inputs);

// --- Installation ---
struct InstallationFacts {
    QString customPath;
    std::optional<tools::DirewolfChoice> choice;
    std::optional<QString> brewPath;
    std::optional<QString> aptGetPath;
    // Why a start would refuse the custom path.
    std::optional<QString> customRefusal = std::nullopt;
    // Without a custom path or a usable copy: the copy the look-up passed over because another
    // user could change it.
    std::optional<PassedOver> passedOver = std::nullopt;
};

struct InstallButton {
    QString label;
    QString help;
    // Run in a terminal; none for the actions of the page itself.
    QString command;
    bool primary = false;
    bool operator==(const InstallButton &) const = default;
};

struct Installation {
    enum class View { installed, packageManagerWithoutDirewolf, noPackageManager };
    View view = View::noPackageManager;
    QString path;
    QString title;
    Tone titleTone = Tone::secondary;
    bool accentTitle = false;
    bool legacy = false;
    // The custom path, or the only copy found, would not be launched; the title says why.
    bool refused = false;
    QString text;
    // Install and update buttons, in order; "Choose Custom…" and "Reset to Auto" follow.
    std::vector<InstallButton> commands;
    bool resetToAuto = false;
    QString chooseCustomHelp;
    std::optional<QString> caption;
    bool operator==(const Installation &) const = default;
};

QString homebrewLabel(const QString &prefix);
// The command that updates the Direwolf in use, matching where it came from; none for a copy
// that no package manager here owns.
std::optional<QString> updateCommand(const InstallationFacts &facts);
Installation installation(const InstallationFacts &facts);
// Where the file picker opens.
QString binaryPickerFolder(const std::optional<tools::DirewolfChoice> &choice);

// --- Banners ---
bool shouldShowNativeRigControlNudge(const DirewolfConfig &config, const QList<RigControlServerEndpoint> &endpoints,
                                     bool dismissed);
struct LegacyFacts {
    bool present = false;
    bool dismissed = false;
    // A discovered Direwolf or a chosen path exists.
    bool otherDirewolfKnown = false;
    // The old folder holds the Direwolf in use (a chosen path into it, or the running one).
    bool holdsBinaryInUse = false;
};
bool shouldShowLegacyCleanupBanner(const LegacyFacts &facts);

QString nudgeText(const QString &radioName);
QString formattedByteCount(qint64 bytes);
QString legacyBannerText(const std::optional<qint64> &size);
QString legacyConfirmationText(const std::optional<qint64> &size);
Alert legacyRemovalConfirmation(const std::optional<qint64> &size);

} // namespace cordavelle::direwolf_page
