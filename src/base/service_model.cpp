#include "service_model.h"

#include <string>

namespace cordavelle {

namespace {

QString fromView(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// "a ServiceID", "an AppAppearanceMode".
QString withArticle(std::string_view typeName)
{
    const QString name = fromView(typeName);
    const bool vowel = !name.isEmpty() && QStringLiteral("AEIOU").contains(name.front());
    return (vowel ? QStringLiteral("an ") : QStringLiteral("a ")) + name;
}

} // namespace

std::size_t detail::decodeRawIndex(const Json &j, std::span<const std::string_view> raws, std::string_view typeName)
{
    if (!j.is_string()) {
        throw JsonDecodeError(QStringLiteral("Expected %1 string, found %2")
                                  .arg(withArticle(typeName), QString::fromUtf8(j.type_name())));
    }
    const auto &text = j.get_ref<const std::string &>();
    for (std::size_t i = 0; i < raws.size(); ++i) {
        if (raws[i] == text) {
            return i;
        }
    }
    throw JsonDecodeError(QStringLiteral("Cannot initialize %1 from invalid value \"%2\"")
                              .arg(fromView(typeName), QString::fromStdString(text)));
}

std::size_t detail::decodeRawIndex(const Json &j, std::span<const int> raws, std::string_view typeName)
{
    // A number given as a string ("1200") is a different JSON type and fails like any other.
    const auto number = jsonInteger<int>(j);
    if (!number) {
        throw JsonDecodeError(
            QStringLiteral("Expected %1 number, found %2").arg(withArticle(typeName), QString::fromStdString(j.dump())));
    }
    for (std::size_t i = 0; i < raws.size(); ++i) {
        if (raws[i] == *number) {
            return i;
        }
    }
    throw JsonDecodeError(
        QStringLiteral("Cannot initialize %1 from invalid value %2").arg(fromView(typeName), QString::number(*number)));
}

QString displayName(ServiceID id)
{
    switch (id) {
    case ServiceID::varaHF: return QStringLiteral("VARA HF");
    case ServiceID::varaFM: return QStringLiteral("VARA FM");
    case ServiceID::rigctld: return QStringLiteral("rigctld");
    case ServiceID::direwolf: return QStringLiteral("Direwolf");
    }
    return {};
}

QString systemImage(ServiceID id)
{
    switch (id) {
    case ServiceID::varaHF: return QStringLiteral("wave.3.right");
    case ServiceID::varaFM: return QStringLiteral("wave.3.right.circle");
    case ServiceID::rigctld: return QStringLiteral("antenna.radiowaves.left.and.right");
    case ServiceID::direwolf: return QStringLiteral("dog.fill");
    }
    return {};
}

QString displayName(ServiceLifecycleMode mode)
{
    switch (mode) {
    case ServiceLifecycleMode::onDemand: return QStringLiteral("On Demand");
    case ServiceLifecycleMode::alwaysOn: return QStringLiteral("Always On");
    case ServiceLifecycleMode::disabled: return QStringLiteral("Disabled");
    }
    return {};
}

QString displayName(DirewolfSpeed speed)
{
    switch (speed) {
    case DirewolfSpeed::baud1200: return QStringLiteral("1200 baud (VHF)");
    case DirewolfSpeed::baud9600: return QStringLiteral("9600 baud (VHF)");
    case DirewolfSpeed::baud19200: return QStringLiteral("19200 baud");
    }
    return {};
}

QString displayName(VARAVariant variant)
{
    return variant == VARAVariant::hf ? QStringLiteral("VARA HF") : QStringLiteral("VARA FM");
}

ServiceID serviceID(VARAVariant variant)
{
    return variant == VARAVariant::hf ? ServiceID::varaHF : ServiceID::varaFM;
}

QString installDirName(VARAVariant variant)
{
    return variant == VARAVariant::hf ? QStringLiteral("VARA") : QStringLiteral("VARA FM");
}

QString exeName(VARAVariant variant)
{
    return variant == VARAVariant::hf ? QStringLiteral("VARA.exe") : QStringLiteral("VARAFM.exe");
}

int commandPort(VARAVariant)
{
    return 8300;
}

int dataPort(VARAVariant)
{
    return 8301;
}

QStringList criticalDataFiles(VARAVariant variant)
{
    if (variant == VARAVariant::hf) {
        return {QStringLiteral("Data.dat"), QStringLiteral("VARAHF500.dat"), QStringLiteral("VARAHF2300.dat"),
                QStringLiteral("VARAHF2750.dat")};
    }
    return {QStringLiteral("VARAFMNarrow.dat"), QStringLiteral("VARAFMWide.dat")};
}

QString downloadPattern(VARAVariant variant)
{
    return variant == VARAVariant::hf ? QStringLiteral(R"re(href="([^"]*VARA%20HF[^"]*setup\.zip)")re")
                                      : QStringLiteral(R"re(href="([^"]*VARA%20FM[^"]*setup\.zip)")re");
}

namespace {

constexpr std::array<std::pair<DirewolfPTTMethod::Kind, const char *>, 4> kPttMethodKeys{{
    {DirewolfPTTMethod::Kind::vox, "vox"},
    {DirewolfPTTMethod::Kind::serial, "serial"},
    {DirewolfPTTMethod::Kind::rigctld, "rigctld"},
    {DirewolfPTTMethod::Kind::nativeCorvexa, "nativeCorvexa"},
}};

} // namespace

Json DirewolfPTTMethod::toJson() const
{
    Json inner = Json::object();
    if (m_kind == Kind::serial) {
        inner["portPath"] = m_portPath;
    }
    Json outer = Json::object();
    for (const auto &[kind, key] : kPttMethodKeys) {
        if (kind == m_kind) {
            outer[key] = std::move(inner);
            break;
        }
    }
    return outer;
}

DirewolfPTTMethod DirewolfPTTMethod::fromJson(const Json &j)
{
    const JsonObjectReader reader(j);
    const std::pair<Kind, const char *> *found = nullptr;
    int matches = 0;
    for (const auto &entry : kPttMethodKeys) {
        if (j.contains(entry.second)) {
            found = &entry;
            ++matches;
        }
    }
    if (matches != 1) {
        throw JsonDecodeError(QStringLiteral("Invalid number of keys found, expected one."));
    }
    const auto &[kind, key] = *found;
    const Json &inner = j.at(key);
    try {
        const JsonObjectReader payload(inner);
        if (kind == Kind::serial) {
            return serial(payload.required<QString>("portPath"));
        }
    } catch (const JsonDecodeError &e) {
        throw e.inMember(QString::fromUtf8(key));
    }
    return DirewolfPTTMethod(kind);
}

} // namespace cordavelle
