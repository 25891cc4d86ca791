#pragma once

// The settings of the four managed services. One JSON form serves the stored settings, the API's
// configuration reads and writes, and the start paths. Every member may be missing or null in the
// JSON and then takes its default, so records written by older versions still load; a member that
// is present with the wrong type fails the whole record. Values are kept as they come: no range
// checks, no trimming.

#include "base/json_support.h"
#include "base/service_model.h"

#include <QString>

#include <optional>

namespace cordavelle {

// The settings both VARA modems have, with one JSON form.
struct VARAConfigFields {
    ServiceLifecycleMode lifecycleMode = ServiceLifecycleMode::onDemand;
    QString winePath;
    // Empty means the modem is not installed.
    QString varaPath;
    QString installedVersion;
    // Named for the modem program; the launch does not read it.
    VARARuntime runtime = VARARuntime::wine;
    bool audioDebugEnabled = false;

    bool operator==(const VARAConfigFields &) const = default;
};

// One type per modem, so the two modems' settings can't be mixed up.
struct VARAConfig : VARAConfigFields {
    bool operator==(const VARAConfig &) const = default;
};

struct VARAFMConfig : VARAConfigFields {
    bool operator==(const VARAFMConfig &) const = default;
};

struct RigctldConfig {
    int tcpPort = 4532;
    int rigModel = 1;
    RigConnectionType connectionType = RigConnectionType::serial;
    QString serialPort;
    int baudRate = 19200;
    QString networkHost = QStringLiteral("127.0.0.1");
    int networkPort = 4992;
    ServiceLifecycleMode lifecycleMode = ServiceLifecycleMode::onDemand;
    // Empty means look the program up.
    QString rigctldPath;
    // Switch the radio on after a start and off before the stop.
    bool manageRadioPower = false;

    bool operator==(const RigctldConfig &) const = default;
};

struct DirewolfConfig {
    QString callsign;
    int ssid = 0;
    DirewolfAudioDevice audioDevice = DirewolfAudioDevice::default_;
    QString customAudioDeviceUID;
    QString customAudioDeviceName;
    QString customAudioOutputUID;
    DirewolfSpeed speed = DirewolfSpeed::baud1200;
    int kissPort = 8001;
    int agwPort = 8000;
    // The PTT device of records written before `pttMethod` existed; decoding reads it only when
    // `pttMethod` is absent.
    QString pttPort;
    // Only a freshly made record has no method; every decoded one has (vox at the least).
    std::optional<DirewolfPTTMethod> pttMethod;
    // Empty means the first rig-control server found.
    QString nativeRigControlRadioName;
    ServiceLifecycleMode lifecycleMode = ServiceLifecycleMode::onDemand;
    // Empty means look the program up.
    QString direwolfPath;
    QString installedVersion;

    bool operator==(const DirewolfConfig &) const = default;
};

// Encoding writes every member in declaration order (only an empty `pttMethod` is left out);
// decoding throws JsonDecodeError and never yields a part-filled record.
void to_json(Json &j, const VARAConfig &config);
void from_json(const Json &j, VARAConfig &config);
void to_json(Json &j, const VARAFMConfig &config);
void from_json(const Json &j, VARAFMConfig &config);
void to_json(Json &j, const RigctldConfig &config);
void from_json(const Json &j, RigctldConfig &config);
void to_json(Json &j, const DirewolfConfig &config);
void from_json(const Json &j, DirewolfConfig &config);

} // namespace cordavelle
