#pragma once

// The closed vocabularies of the service core. Their raw values are what the stored settings,
// the API's paths and its JSON bodies carry, so they are part of the external format: decoding
// accepts exactly these values and nothing else (no other letter case, no other JSON type).

#include "base/json_support.h"

#include <QHashFunctions>
#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cordavelle {

enum class ServiceID { varaHF, varaFM, rigctld, direwolf };

enum class ServiceLifecycleMode { onDemand, alwaysOn, disabled };

enum class ServiceRunState { stopped, starting, running, stopping, error };

enum class VARAVariant { hf, fm };

enum class VARARuntime { wine, native };

enum class RigConnectionType { serial, network };

// `default_` is the system's default sound device ("default"); `custom` the one named by the
// custom-device fields of DirewolfConfig.
enum class DirewolfAudioDevice { default_, custom };

enum class DirewolfSpeed { baud1200, baud9600, baud19200 };

// The raw-value table of each enumeration, in the order of its cases.
template <class E>
struct EnumTraits;

template <>
struct EnumTraits<ServiceID> {
    static constexpr std::string_view jsonName = "ServiceID";
    static constexpr bool iterable = true;
    static constexpr std::array cases{ServiceID::varaHF, ServiceID::varaFM, ServiceID::rigctld, ServiceID::direwolf};
    static constexpr std::array<std::string_view, 4> raw{"vara-hf", "vara-fm", "rigctld", "direwolf"};
};

template <>
struct EnumTraits<ServiceLifecycleMode> {
    static constexpr std::string_view jsonName = "ServiceLifecycleMode";
    static constexpr bool iterable = true;
    static constexpr std::array cases{ServiceLifecycleMode::onDemand, ServiceLifecycleMode::alwaysOn,
                                      ServiceLifecycleMode::disabled};
    static constexpr std::array<std::string_view, 3> raw{"onDemand", "alwaysOn", "disabled"};
};

template <>
struct EnumTraits<ServiceRunState> {
    static constexpr std::string_view jsonName = "ServiceRunState";
    static constexpr bool iterable = false;
    static constexpr std::array cases{ServiceRunState::stopped, ServiceRunState::starting, ServiceRunState::running,
                                      ServiceRunState::stopping, ServiceRunState::error};
    static constexpr std::array<std::string_view, 5> raw{"stopped", "starting", "running", "stopping", "error"};
};

template <>
struct EnumTraits<VARAVariant> {
    static constexpr std::string_view jsonName = "VARAVariant";
    static constexpr bool iterable = false;
    static constexpr std::array cases{VARAVariant::hf, VARAVariant::fm};
    static constexpr std::array<std::string_view, 2> raw{"hf", "fm"};
};

template <>
struct EnumTraits<VARARuntime> {
    static constexpr std::string_view jsonName = "VARARuntime";
    static constexpr bool iterable = true;
    static constexpr std::array cases{VARARuntime::wine, VARARuntime::native};
    static constexpr std::array<std::string_view, 2> raw{"wine", "native"};
};

template <>
struct EnumTraits<RigConnectionType> {
    static constexpr std::string_view jsonName = "RigConnectionType";
    static constexpr bool iterable = true;
    static constexpr std::array cases{RigConnectionType::serial, RigConnectionType::network};
    static constexpr std::array<std::string_view, 2> raw{"Serial", "Network"};
};

template <>
struct EnumTraits<DirewolfAudioDevice> {
    static constexpr std::string_view jsonName = "DirewolfAudioDevice";
    static constexpr bool iterable = true;
    static constexpr std::array cases{DirewolfAudioDevice::default_, DirewolfAudioDevice::custom};
    static constexpr std::array<std::string_view, 2> raw{"default", "custom"};
};

template <>
struct EnumTraits<DirewolfSpeed> {
    static constexpr std::string_view jsonName = "DirewolfSpeed";
    static constexpr bool iterable = true;
    static constexpr std::array cases{DirewolfSpeed::baud1200, DirewolfSpeed::baud9600, DirewolfSpeed::baud19200};
    static constexpr std::array<int, 3> raw{1200, 9600, 19200};
};

template <class E>
concept RawRepresentable = requires { EnumTraits<E>::cases; EnumTraits<E>::raw; };

template <class E>
concept IterableEnum = RawRepresentable<E> && EnumTraits<E>::iterable;

// QString for the text-valued enumerations, int for DirewolfSpeed.
template <RawRepresentable E>
using RawValueOf = std::conditional_t<std::is_same_v<typename decltype(EnumTraits<E>::raw)::value_type, int>, int,
                                      QString>;

namespace detail {
template <RawRepresentable E>
constexpr std::size_t caseIndex(E value)
{
    const auto &cases = EnumTraits<E>::cases;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (cases[i] == value) {
            return i;
        }
    }
    return 0;
}
} // namespace detail

template <RawRepresentable E>
RawValueOf<E> toRaw(E value)
{
    const auto raw = EnumTraits<E>::raw[detail::caseIndex(value)];
    if constexpr (std::is_same_v<RawValueOf<E>, int>) {
        return raw;
    } else {
        return QString::fromLatin1(raw.data(), static_cast<qsizetype>(raw.size()));
    }
}

// Exact, case-sensitive match with the raw values; anything else gives no value.
template <RawRepresentable E>
std::optional<E> fromRaw(const RawValueOf<E> &raw)
{
    const auto &raws = EnumTraits<E>::raw;
    for (std::size_t i = 0; i < raws.size(); ++i) {
        if constexpr (std::is_same_v<RawValueOf<E>, int>) {
            if (raws[i] == raw) {
                return EnumTraits<E>::cases[i];
            }
        } else {
            if (raw == QLatin1String(raws[i].data(), static_cast<qsizetype>(raws[i].size()))) {
                return EnumTraits<E>::cases[i];
            }
        }
    }
    return std::nullopt;
}

// Every case in declaration order, for the enumerations that are listed in views.
template <IterableEnum E>
constexpr const auto &allCases()
{
    return EnumTraits<E>::cases;
}

// Hashing follows the raw value, so a QHash keyed by these types is stable across builds.
template <RawRepresentable E>
size_t qHash(E value, size_t seed = 0) noexcept
{
    return ::qHash(toRaw(value), seed);
}

// --- ServiceID

QString displayName(ServiceID id);
// Name of the symbol image that the service pages draw in their header.
QString systemImage(ServiceID id);

// --- ServiceLifecycleMode, DirewolfSpeed

QString displayName(ServiceLifecycleMode mode);
QString displayName(DirewolfSpeed speed);

// --- VARAVariant: fixed facts about each modem

QString displayName(VARAVariant variant);
ServiceID serviceID(VARAVariant variant);
// Folder of the installed modem under the Wine prefix's "drive_c".
QString installDirName(VARAVariant variant);
// The modem program's file in that folder.
QString exeName(VARAVariant variant);
// Both modems use the same port pair.
int commandPort(VARAVariant variant);
int dataPort(VARAVariant variant);
// Data files a complete installation leaves in the install folder.
QStringList criticalDataFiles(VARAVariant variant);
// Finds the setup archive's link on the download page; capture group 1 is the link.
QString downloadPattern(VARAVariant variant);

// --- JSON: the bare raw value (a string; a number for DirewolfSpeed), for every enumeration whose
// traits give the `jsonName` that decoding failures quote.

template <class E>
concept JsonRawEnum = RawRepresentable<E> && requires { EnumTraits<E>::jsonName; };

namespace detail {
// The index of the raw value that `j` holds; anything else throws a JsonDecodeError.
std::size_t decodeRawIndex(const Json &j, std::span<const std::string_view> raws, std::string_view typeName);
std::size_t decodeRawIndex(const Json &j, std::span<const int> raws, std::string_view typeName);
} // namespace detail

template <JsonRawEnum E>
void to_json(Json &j, E value)
{
    const auto raw = EnumTraits<E>::raw[detail::caseIndex(value)];
    if constexpr (std::is_same_v<RawValueOf<E>, int>) {
        j = raw;
    } else {
        j = std::string(raw);
    }
}

template <JsonRawEnum E>
void from_json(const Json &j, E &value)
{
    value = EnumTraits<E>::cases[detail::decodeRawIndex(j, EnumTraits<E>::raw, EnumTraits<E>::jsonName)];
}

// How Direwolf keys the transmitter. Only `serial` carries a value, the PTT device's path.
class DirewolfPTTMethod {
public:
    enum class Kind { vox, serial, rigctld, nativeCorvexa };

    static DirewolfPTTMethod vox() { return DirewolfPTTMethod(Kind::vox); }
    static DirewolfPTTMethod serial(QString portPath) { return DirewolfPTTMethod(Kind::serial, std::move(portPath)); }
    static DirewolfPTTMethod rigctld() { return DirewolfPTTMethod(Kind::rigctld); }
    static DirewolfPTTMethod nativeCorvexa() { return DirewolfPTTMethod(Kind::nativeCorvexa); }

    Kind kind() const { return m_kind; }
    bool isSerial() const { return m_kind == Kind::serial; }
    // The device path of `serial`; empty for the other methods.
    const QString &portPath() const { return m_portPath; }

    // JSON form: one member named after the method, holding an object ({"serial":{"portPath":…}},
    // {"vox":{}}). Members that name no method are ignored when reading; exactly one must name one.
    Json toJson() const;
    static DirewolfPTTMethod fromJson(const Json &j);

    bool operator==(const DirewolfPTTMethod &) const = default;

private:
    explicit DirewolfPTTMethod(Kind kind, QString portPath = {}) : m_kind(kind), m_portPath(std::move(portPath)) {}

    Kind m_kind;
    QString m_portPath;
};

} // namespace cordavelle

// DirewolfPTTMethod has no "empty" value to decode into, so nlohmann builds it from the JSON.
template <>
struct nlohmann::adl_serializer<cordavelle::DirewolfPTTMethod> {
    static void to_json(cordavelle::Json &j, const cordavelle::DirewolfPTTMethod &m) { j = m.toJson(); }
    static cordavelle::DirewolfPTTMethod from_json(const cordavelle::Json &j)
    {
        return cordavelle::DirewolfPTTMethod::fromJson(j);
    }
};
