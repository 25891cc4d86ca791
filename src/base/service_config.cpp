#include "service_config.h"

namespace cordavelle {

namespace {

template <class Config>
void encodeVARA(Json &j, const Config &c)
{
    j = Json::object();
    j["lifecycleMode"] = c.lifecycleMode;
    j["winePath"] = c.winePath;
    j["varaPath"] = c.varaPath;
    j["installedVersion"] = c.installedVersion;
    j["runtime"] = c.runtime;
    j["audioDebugEnabled"] = c.audioDebugEnabled;
}

template <class Config>
void decodeVARA(const Json &j, Config &out)
{
    const JsonObjectReader r(j);
    Config c;
    r.readIfPresent("lifecycleMode", c.lifecycleMode);
    r.readIfPresent("winePath", c.winePath);
    r.readIfPresent("varaPath", c.varaPath);
    r.readIfPresent("installedVersion", c.installedVersion);
    r.readIfPresent("runtime", c.runtime);
    r.readIfPresent("audioDebugEnabled", c.audioDebugEnabled);
    out = std::move(c);
}

} // namespace

void to_json(Json &j, const VARAConfig &config) { encodeVARA(j, config); }
void from_json(const Json &j, VARAConfig &config) { decodeVARA(j, config); }
void to_json(Json &j, const VARAFMConfig &config) { encodeVARA(j, config); }
void from_json(const Json &j, VARAFMConfig &config) { decodeVARA(j, config); }

void to_json(Json &j, const RigctldConfig &c)
{
    j = Json::object();
    j["tcpPort"] = c.tcpPort;
    j["rigModel"] = c.rigModel;
    j["connectionType"] = c.connectionType;
    j["serialPort"] = c.serialPort;
    j["baudRate"] = c.baudRate;
    j["networkHost"] = c.networkHost;
    j["networkPort"] = c.networkPort;
    j["lifecycleMode"] = c.lifecycleMode;
    j["rigctldPath"] = c.rigctldPath;
    j["manageRadioPower"] = c.manageRadioPower;
}

void from_json(const Json &j, RigctldConfig &config)
{
    const JsonObjectReader r(j);
    RigctldConfig c;
    r.readIfPresent("tcpPort", c.tcpPort);
    r.readIfPresent("rigModel", c.rigModel);
    r.readIfPresent("connectionType", c.connectionType);
    r.readIfPresent("serialPort", c.serialPort);
    r.readIfPresent("baudRate", c.baudRate);
    r.readIfPresent("networkHost", c.networkHost);
    r.readIfPresent("networkPort", c.networkPort);
    r.readIfPresent("lifecycleMode", c.lifecycleMode);
    r.readIfPresent("rigctldPath", c.rigctldPath);
    r.readIfPresent("manageRadioPower", c.manageRadioPower);
    config = std::move(c);
}

void to_json(Json &j, const DirewolfConfig &c)
{
    j = Json::object();
    j["callsign"] = c.callsign;
    j["ssid"] = c.ssid;
    j["audioDevice"] = c.audioDevice;
    j["customAudioDeviceUID"] = c.customAudioDeviceUID;
    j["customAudioDeviceName"] = c.customAudioDeviceName;
    j["customAudioOutputUID"] = c.customAudioOutputUID;
    j["speed"] = c.speed;
    j["kissPort"] = c.kissPort;
    j["agwPort"] = c.agwPort;
    j["pttPort"] = c.pttPort;
    if (c.pttMethod) {
        j["pttMethod"] = c.pttMethod->toJson();
    }
    j["nativeRigControlRadioName"] = c.nativeRigControlRadioName;
    j["lifecycleMode"] = c.lifecycleMode;
    j["direwolfPath"] = c.direwolfPath;
    j["installedVersion"] = c.installedVersion;
}

void from_json(const Json &j, DirewolfConfig &config)
{
    const JsonObjectReader r(j);
    DirewolfConfig c;
    r.readIfPresent("callsign", c.callsign);
    r.readIfPresent("ssid", c.ssid);
    r.readIfPresent("audioDevice", c.audioDevice);
    r.readIfPresent("customAudioDeviceUID", c.customAudioDeviceUID);
    r.readIfPresent("customAudioDeviceName", c.customAudioDeviceName);
    r.readIfPresent("customAudioOutputUID", c.customAudioOutputUID);
    r.readIfPresent("speed", c.speed);
    r.readIfPresent("kissPort", c.kissPort);
    r.readIfPresent("agwPort", c.agwPort);
    r.readIfPresent("pttPort", c.pttPort);
    // Records from before the PTT method existed name only a serial PTT device, or none at all.
    if (auto method = r.optional<DirewolfPTTMethod>("pttMethod")) {
        c.pttMethod = std::move(*method);
    } else if (!c.pttPort.isEmpty()) {
        c.pttMethod = DirewolfPTTMethod::serial(c.pttPort);
    } else {
        c.pttMethod = DirewolfPTTMethod::vox();
    }
    r.readIfPresent("nativeRigControlRadioName", c.nativeRigControlRadioName);
    r.readIfPresent("lifecycleMode", c.lifecycleMode);
    r.readIfPresent("direwolfPath", c.direwolfPath);
    r.readIfPresent("installedVersion", c.installedVersion);
    config = std::move(c);
}

} // namespace cordavelle
