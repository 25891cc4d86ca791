#include "service_config.h"

#include <optional>
#include <type_traits>

namespace cordavelle {

namespace {

// `Config` is `Record` or a record built on it, const or not.
template <class Config, class Record>
concept RecordOf = std::is_base_of_v<Record, std::remove_const_t<Config>>;

// Each record lists its members once, in the order of its JSON form; `visit(key, member)` is
// called for each, so writing and reading can never disagree on a name or the order.
template <RecordOf<VARAConfigFields> Config, class Visit>
void eachMember(Config &c, Visit &&visit)
{
    visit("lifecycleMode", c.lifecycleMode);
    visit("winePath", c.winePath);
    visit("varaPath", c.varaPath);
    visit("installedVersion", c.installedVersion);
    visit("runtime", c.runtime);
    visit("audioDebugEnabled", c.audioDebugEnabled);
}

template <RecordOf<RigctldConfig> Config, class Visit>
void eachMember(Config &c, Visit &&visit)
{
    visit("tcpPort", c.tcpPort);
    visit("rigModel", c.rigModel);
    visit("connectionType", c.connectionType);
    visit("serialPort", c.serialPort);
    visit("baudRate", c.baudRate);
    visit("networkHost", c.networkHost);
    visit("networkPort", c.networkPort);
    visit("lifecycleMode", c.lifecycleMode);
    visit("rigctldPath", c.rigctldPath);
    visit("manageRadioPower", c.manageRadioPower);
}

template <RecordOf<DirewolfConfig> Config, class Visit>
void eachMember(Config &c, Visit &&visit)
{
    visit("callsign", c.callsign);
    visit("ssid", c.ssid);
    visit("audioDevice", c.audioDevice);
    visit("customAudioDeviceUID", c.customAudioDeviceUID);
    visit("customAudioDeviceName", c.customAudioDeviceName);
    visit("customAudioOutputUID", c.customAudioOutputUID);
    visit("speed", c.speed);
    visit("kissPort", c.kissPort);
    visit("agwPort", c.agwPort);
    visit("pttPort", c.pttPort);
    visit("pttMethod", c.pttMethod);
    visit("nativeRigControlRadioName", c.nativeRigControlRadioName);
    visit("lifecycleMode", c.lifecycleMode);
    visit("direwolfPath", c.direwolfPath);
    visit("installedVersion", c.installedVersion);
}

template <class T>
constexpr bool isOptional = false;
template <class T>
constexpr bool isOptional<std::optional<T>> = true;

template <class Config>
void encode(Json &j, const Config &c)
{
    j = Json::object();
    eachMember(c, [&j](const char *key, const auto &member) {
        if constexpr (isOptional<std::remove_cvref_t<decltype(member)>>) {
            if (member) {
                j[key] = *member;
            }
        } else {
            j[key] = member;
        }
    });
}

// A missing or null member keeps its default; the first member that fails to decode fails the
// whole record.
template <class Config>
Config decode(const Json &j)
{
    const JsonObjectReader r(j);
    Config c;
    eachMember(c, [&r](const char *key, auto &member) {
        using Member = std::remove_cvref_t<decltype(member)>;
        if constexpr (isOptional<Member>) {
            member = r.optional<typename Member::value_type>(key);
        } else {
            r.readIfPresent(key, member);
        }
    });
    return c;
}

} // namespace

void to_json(Json &j, const VARAConfig &config) { encode(j, config); }
void from_json(const Json &j, VARAConfig &config) { config = decode<VARAConfig>(j); }
void to_json(Json &j, const VARAFMConfig &config) { encode(j, config); }
void from_json(const Json &j, VARAFMConfig &config) { config = decode<VARAFMConfig>(j); }
void to_json(Json &j, const RigctldConfig &config) { encode(j, config); }
void from_json(const Json &j, RigctldConfig &config) { config = decode<RigctldConfig>(j); }
void to_json(Json &j, const DirewolfConfig &config) { encode(j, config); }

void from_json(const Json &j, DirewolfConfig &config)
{
    DirewolfConfig c = decode<DirewolfConfig>(j);
    // Records from before the PTT method existed name only a serial PTT device, or none at all.
    if (!c.pttMethod) {
        c.pttMethod = c.pttPort.isEmpty() ? DirewolfPTTMethod::vox() : DirewolfPTTMethod::serial(c.pttPort);
    }
    config = std::move(c);
}

} // namespace cordavelle
