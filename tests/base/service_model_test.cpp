#include "base/app_appearance_mode.h"
#include "base/service_model.h"

#include <QHash>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

template <class E>
std::optional<E> decodes(const char *json)
{
    try {
        return decodeJson<E>(QByteArray(json));
    } catch (const JsonDecodeError &) {
        return std::nullopt;
    }
}

TEST(ServiceModel, RawValuesMatchOnlyExactly)
{
    for (ServiceID id : allCases<ServiceID>()) {
        EXPECT_EQ(fromRaw<ServiceID>(toRaw(id)), id);
    }
    EXPECT_EQ(allCases<ServiceID>().back(), ServiceID::direwolf);
    EXPECT_EQ(toRaw(ServiceID::varaHF), "vara-hf");
    EXPECT_EQ(fromRaw<ServiceID>("direwolf"), ServiceID::direwolf);
    EXPECT_EQ(fromRaw<ServiceID>("VARA-HF"), std::nullopt);
    EXPECT_EQ(fromRaw<ServiceID>("vara_hf"), std::nullopt);
    EXPECT_EQ(fromRaw<ServiceID>("Direwolf"), std::nullopt);
    EXPECT_EQ(fromRaw<ServiceID>(""), std::nullopt);

    EXPECT_EQ(fromRaw<RigConnectionType>("Serial"), RigConnectionType::serial);
    EXPECT_EQ(fromRaw<RigConnectionType>("serial"), std::nullopt);
    EXPECT_EQ(toRaw(RigConnectionType::network), "Network");
    EXPECT_EQ(toRaw(DirewolfAudioDevice::default_), "default");
    EXPECT_EQ(fromRaw<ServiceRunState>("error"), ServiceRunState::error);
    EXPECT_EQ(fromRaw<VARAVariant>("FM"), std::nullopt);

    EXPECT_EQ(toRaw(DirewolfSpeed::baud19200), 19200);
    EXPECT_EQ(fromRaw<DirewolfSpeed>(9600), DirewolfSpeed::baud9600);
    EXPECT_EQ(fromRaw<DirewolfSpeed>(4800), std::nullopt);
}

TEST(ServiceModel, VARAVariantFacts)
{
    for (VARAVariant v : {VARAVariant::hf, VARAVariant::fm}) {
        EXPECT_EQ(commandPort(v), 8300);
        EXPECT_EQ(dataPort(v), 8301);
    }
    EXPECT_EQ(serviceID(VARAVariant::fm), ServiceID::varaFM);
    EXPECT_EQ(displayName(VARAVariant::fm), displayName(ServiceID::varaFM));
    EXPECT_EQ(installDirName(VARAVariant::fm), "VARA FM");
    EXPECT_EQ(exeName(VARAVariant::hf), "VARA.exe");
    EXPECT_EQ(criticalDataFiles(VARAVariant::hf).size(), 4);
    EXPECT_EQ(criticalDataFiles(VARAVariant::fm), QStringList({"VARAFMNarrow.dat", "VARAFMWide.dat"}));

    // The pattern must pull the link out of a real-looking download page.
    const QRegularExpression re(downloadPattern(VARAVariant::fm));
    const auto match = re.match(R"(<a href="https://example.test/VARA%20FM%20v4.3.9%20setup.zip">)");
    ASSERT_TRUE(match.hasMatch());
    EXPECT_EQ(match.captured(1), "https://example.test/VARA%20FM%20v4.3.9%20setup.zip");
    EXPECT_FALSE(re.match(R"(<a href="VARA%20HF%20setup.zip">)").hasMatch());
}

TEST(ServiceModel, JsonAcceptsOnlyTheRawValueOfTheRightType)
{
    EXPECT_EQ(Json(ServiceLifecycleMode::alwaysOn).dump(), R"("alwaysOn")");
    EXPECT_EQ(Json(DirewolfSpeed::baud1200).dump(), "1200");

    EXPECT_EQ(decodes<ServiceLifecycleMode>(R"("alwaysOn")"), ServiceLifecycleMode::alwaysOn);
    EXPECT_EQ(decodes<ServiceLifecycleMode>(R"("AlwaysOn")"), std::nullopt);
    EXPECT_EQ(decodes<ServiceLifecycleMode>("1"), std::nullopt);
    EXPECT_EQ(decodes<ServiceLifecycleMode>("null"), std::nullopt);
    EXPECT_EQ(decodes<RigConnectionType>(R"("network")"), std::nullopt);
    EXPECT_EQ(decodes<RigConnectionType>(R"("Network")"), RigConnectionType::network);
    EXPECT_EQ(decodes<ServiceID>(R"("vara-fm")"), ServiceID::varaFM);
    EXPECT_EQ(decodes<ServiceID>("0"), std::nullopt);

    EXPECT_EQ(decodes<DirewolfSpeed>("1200"), DirewolfSpeed::baud1200);
    EXPECT_EQ(decodes<DirewolfSpeed>("9600.0"), DirewolfSpeed::baud9600);
    EXPECT_EQ(decodes<DirewolfSpeed>(R"("1200")"), std::nullopt);
    EXPECT_EQ(decodes<DirewolfSpeed>("4800"), std::nullopt);
    EXPECT_EQ(decodes<DirewolfSpeed>("1200.5"), std::nullopt);
    EXPECT_EQ(decodes<DirewolfSpeed>("true"), std::nullopt);
}

template <class E>
QString failure(const char *json)
{
    try {
        decodeJson<E>(QByteArray(json));
    } catch (const JsonDecodeError &e) {
        return e.reason();
    }
    return {};
}

TEST(ServiceModel, JsonFailuresNameTheType)
{
    EXPECT_EQ(failure<ServiceID>("0"), "Expected a ServiceID string, found number");
    EXPECT_EQ(failure<AppAppearanceMode>("true"), "Expected an AppAppearanceMode string, found boolean");
    EXPECT_EQ(failure<AppAppearanceMode>(R"("dockOnly")"),
              R"(Cannot initialize AppAppearanceMode from invalid value "dockOnly")");
    EXPECT_EQ(failure<DirewolfSpeed>(R"("1200")"), R"(Expected a DirewolfSpeed number, found "1200")");
    EXPECT_EQ(failure<DirewolfSpeed>("4800"), "Cannot initialize DirewolfSpeed from invalid value 4800");
}

TEST(ServiceModel, UsableAsHashKeys)
{
    const QHash<ServiceID, int> ports{{ServiceID::rigctld, 4532}, {ServiceID::direwolf, 8001}};
    EXPECT_EQ(ports.value(ServiceID::direwolf), 8001);
    EXPECT_FALSE(ports.contains(ServiceID::varaHF));
}

TEST(DirewolfPTTMethod, EncodesOneMemberNamedAfterTheMethod)
{
    EXPECT_EQ(Json(DirewolfPTTMethod::vox()).dump(), R"({"vox":{}})");
    EXPECT_EQ(Json(DirewolfPTTMethod::rigctld()).dump(), R"({"rigctld":{}})");
    EXPECT_EQ(Json(DirewolfPTTMethod::nativeCorvexa()).dump(), R"({"nativeCorvexa":{}})");
    EXPECT_EQ(Json(DirewolfPTTMethod::serial("/dev/ttyUSB0")).dump(), R"({"serial":{"portPath":"/dev/ttyUSB0"}})");

    const auto serial = DirewolfPTTMethod::serial("/dev/cu.usbserial-1");
    EXPECT_EQ(decodeJson<DirewolfPTTMethod>(encodeJson(serial)), serial);
    EXPECT_NE(serial, DirewolfPTTMethod::serial("/dev/cu.usbserial-2"));
    EXPECT_NE(DirewolfPTTMethod::serial(""), DirewolfPTTMethod::vox());
    EXPECT_EQ(DirewolfPTTMethod::vox(), DirewolfPTTMethod::vox());
}

TEST(DirewolfPTTMethod, DecodesExactlyOneKnownKey)
{
    EXPECT_EQ(decodes<DirewolfPTTMethod>(R"({"vox":{}})"), DirewolfPTTMethod::vox());
    EXPECT_EQ(decodes<DirewolfPTTMethod>(R"({"vox":{"level":3}})"), DirewolfPTTMethod::vox());
    EXPECT_EQ(decodes<DirewolfPTTMethod>(R"({"vox":{},"note":"x"})"), DirewolfPTTMethod::vox());
    EXPECT_EQ(decodes<DirewolfPTTMethod>(R"({"nativeCorvexa":{}})"), DirewolfPTTMethod::nativeCorvexa());
    EXPECT_EQ(decodes<DirewolfPTTMethod>(R"({"serial":{"portPath":""}})"), DirewolfPTTMethod::serial(""));
    EXPECT_EQ(decodes<DirewolfPTTMethod>(R"({"serial":{"portPath":"  /dev/x "}})"),
              DirewolfPTTMethod::serial("  /dev/x "));

    for (const char *wrongCount : {"{}", R"({"vox":{},"rigctld":{}})", R"({"Vox":{}})"}) {
        try {
            decodeJson<DirewolfPTTMethod>(QByteArray(wrongCount));
            ADD_FAILURE() << wrongCount << " decoded";
        } catch (const JsonDecodeError &e) {
            EXPECT_STREQ(e.what(), "Invalid number of keys found, expected one.") << wrongCount;
        }
    }
    for (const char *bad : {R"({"vox":true})", R"({"vox":null})", R"({"vox":1})", R"({"serial":{}})",
                            R"({"serial":{"portPath":7}})", R"("vox")", "[]"}) {
        EXPECT_EQ(decodes<DirewolfPTTMethod>(bad), std::nullopt) << bad;
    }
}

} // namespace
} // namespace cordavelle
