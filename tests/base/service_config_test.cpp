#include "base/service_config.h"

#include "support/json_keys.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

template <class Config>
bool failsToDecode(const char *json)
{
    try {
        decodeJson<Config>(QByteArray(json));
        return false;
    } catch (const JsonDecodeError &) {
        return true;
    }
}

TEST(ServiceConfig, EmptyObjectGivesTheDefaults)
{
    EXPECT_EQ(decodeJson<VARAConfig>("{}"), VARAConfig());
    EXPECT_EQ(decodeJson<VARAFMConfig>("{}"), VARAFMConfig());
    EXPECT_EQ(decodeJson<RigctldConfig>("{}"), RigctldConfig());

    DirewolfConfig expected;
    expected.pttMethod = DirewolfPTTMethod::vox();
    EXPECT_EQ(decodeJson<DirewolfConfig>("{}"), expected);

    for (const char *notAnObject : {"[]", "null", "\"{}\"", "3"}) {
        EXPECT_TRUE(failsToDecode<VARAConfig>(notAnObject)) << notAnObject;
        EXPECT_TRUE(failsToDecode<DirewolfConfig>(notAnObject)) << notAnObject;
    }
}

TEST(ServiceConfig, EncodesEveryMemberInOrder)
{
    EXPECT_EQ(encodeJson(VARAConfig()),
              R"({"lifecycleMode":"onDemand","winePath":"","varaPath":"","installedVersion":"","runtime":"wine",)"
              R"("audioDebugEnabled":false})");
    EXPECT_EQ(encodeJson(VARAFMConfig()), encodeJson(VARAConfig()));
    EXPECT_EQ(encodeJson(RigctldConfig()),
              R"({"tcpPort":4532,"rigModel":1,"connectionType":"Serial","serialPort":"","baudRate":19200,)"
              R"("networkHost":"127.0.0.1","networkPort":4992,"lifecycleMode":"onDemand","rigctldPath":"",)"
              R"("manageRadioPower":false})");

    // A fresh Direwolf record has no PTT method and leaves only that member out.
    const Json fresh = Json(DirewolfConfig());
    EXPECT_EQ(fresh.size(), 14u);
    EXPECT_FALSE(fresh.contains("pttMethod"));
    EXPECT_EQ(fresh["speed"], 1200);
    EXPECT_EQ(fresh["audioDevice"], "default");

    // Decoding it fills in vox, so the result differs from the record it came from.
    const auto decoded = decodeJson<DirewolfConfig>(encodeJson(DirewolfConfig()));
    EXPECT_EQ(decoded.pttMethod, DirewolfPTTMethod::vox());
    EXPECT_NE(decoded, DirewolfConfig());

    const std::vector<std::string> order{"callsign", "ssid", "audioDevice", "customAudioDeviceUID",
                                         "customAudioDeviceName", "customAudioOutputUID", "speed", "kissPort",
                                         "agwPort", "pttPort", "pttMethod", "nativeRigControlRadioName",
                                         "lifecycleMode", "direwolfPath", "installedVersion"};
    EXPECT_EQ(test::keysOf(Json(decoded)), order);
}

TEST(ServiceConfig, RoundTripsEveryField)
{
    VARAFMConfig vara;
    vara.lifecycleMode = ServiceLifecycleMode::alwaysOn;
    vara.winePath = "/opt/wine/bin/wine";
    vara.varaPath = "C:\\VARA FM\\VARAFM.exe";
    vara.installedVersion = "4.3.9";
    vara.runtime = VARARuntime::native;
    vara.audioDebugEnabled = true;
    EXPECT_EQ(decodeJson<VARAFMConfig>(encodeJson(vara)), vara);

    RigctldConfig rig;
    rig.tcpPort = 4533;
    rig.rigModel = 3073;
    rig.connectionType = RigConnectionType::network;
    rig.serialPort = "/dev/ttyUSB0";
    rig.baudRate = 38400;
    rig.networkHost = "radio.local";
    rig.networkPort = 5000;
    rig.lifecycleMode = ServiceLifecycleMode::disabled;
    rig.rigctldPath = "/usr/bin/rigctld";
    rig.manageRadioPower = true;
    EXPECT_EQ(decodeJson<RigctldConfig>(encodeJson(rig)), rig);

    DirewolfConfig wolf;
    wolf.callsign = " n0call ";
    wolf.ssid = 15;
    wolf.audioDevice = DirewolfAudioDevice::custom;
    wolf.customAudioDeviceUID = "plughw:1,0";
    wolf.customAudioDeviceName = "USB Audio";
    wolf.customAudioOutputUID = "plughw:2,0";
    wolf.speed = DirewolfSpeed::baud9600;
    wolf.kissPort = 9001;
    wolf.agwPort = 9000;
    wolf.pttPort = "/dev/old";
    wolf.pttMethod = DirewolfPTTMethod::serial("/dev/ttyACM0");
    wolf.nativeRigControlRadioName = "IC-705";
    wolf.lifecycleMode = ServiceLifecycleMode::alwaysOn;
    wolf.direwolfPath = "/usr/bin/direwolf";
    wolf.installedVersion = "1.7";
    const auto back = decodeJson<DirewolfConfig>(encodeJson(wolf));
    EXPECT_EQ(back, wolf);
    EXPECT_EQ(back.callsign, " n0call ");
    EXPECT_EQ(Json(back).size(), 15u);
}

TEST(ServiceConfig, MissingOrNullMembersTakeDefaultsOthersMustDecode)
{
    EXPECT_EQ(decodeJson<RigctldConfig>(R"({"tcpPort":null})").tcpPort, 4532);
    EXPECT_EQ(decodeJson<RigctldConfig>(R"({"tcpPort":70000})").tcpPort, 70000);
    EXPECT_EQ(decodeJson<RigctldConfig>(R"({"tcpPort":4533.0})").tcpPort, 4533);
    EXPECT_TRUE(failsToDecode<RigctldConfig>(R"({"tcpPort":"4532"})"));
    EXPECT_TRUE(failsToDecode<RigctldConfig>(R"({"tcpPort":4532.5})"));
    EXPECT_TRUE(failsToDecode<RigctldConfig>(R"({"tcpPort":true})"));
    EXPECT_TRUE(failsToDecode<RigctldConfig>(R"({"tcpPort":99999999999})"));
    EXPECT_TRUE(failsToDecode<RigctldConfig>(R"({"connectionType":"serial"})"));
    EXPECT_TRUE(failsToDecode<RigctldConfig>(R"({"manageRadioPower":1})"));
    EXPECT_TRUE(failsToDecode<VARAConfig>(R"({"lifecycleMode":"OnDemand"})"));
    EXPECT_TRUE(failsToDecode<VARAConfig>(R"({"winePath":42})"));
    EXPECT_TRUE(failsToDecode<DirewolfConfig>(R"({"speed":"9600"})"));
    EXPECT_TRUE(failsToDecode<DirewolfConfig>(R"({"speed":4800})"));
    EXPECT_TRUE(failsToDecode<DirewolfConfig>(R"({"pttMethod":{}})"));

    RigctldConfig network;
    network.connectionType = RigConnectionType::network;
    EXPECT_EQ(decodeJson<RigctldConfig>(R"({"connectionType":"Network"})"), network);

    // A record from an older version, with a member a newer client added: the known members are
    // kept, the rest default, the unknown one is dropped from the next encode.
    const auto older = decodeJson<VARAConfig>(R"({"varaPath":"C:\\VARA\\VARA.exe","colour":"blue"})");
    EXPECT_EQ(older.varaPath, "C:\\VARA\\VARA.exe");
    EXPECT_EQ(older.lifecycleMode, ServiceLifecycleMode::onDemand);
    EXPECT_FALSE(Json(older).contains("colour"));
}

TEST(ServiceConfig, FailureNamesTheMember)
{
    try {
        decodeJson<DirewolfConfig>(R"({"callsign":"N0CALL","pttMethod":{"vox":{},"serial":{}}})");
        ADD_FAILURE();
    } catch (const JsonDecodeError &e) {
        EXPECT_EQ(e.path(), "pttMethod");
        EXPECT_EQ(e.reason(), "Invalid number of keys found, expected one.");
    }
    try {
        decodeJson<RigctldConfig>(R"({"connectionType":"serial"})");
        ADD_FAILURE();
    } catch (const JsonDecodeError &e) {
        EXPECT_EQ(e.path(), "connectionType");
    }
}

TEST(ServiceConfig, DirewolfPTTMethodFromOlderRecords)
{
    const auto legacy = decodeJson<DirewolfConfig>(R"({"pttPort":"/dev/cu.usbserial-A1"})");
    EXPECT_EQ(legacy.pttMethod, DirewolfPTTMethod::serial("/dev/cu.usbserial-A1"));
    EXPECT_EQ(legacy.pttPort, "/dev/cu.usbserial-A1");

    EXPECT_EQ(decodeJson<DirewolfConfig>(R"({"pttPort":""})").pttMethod, DirewolfPTTMethod::vox());
    EXPECT_EQ(decodeJson<DirewolfConfig>(R"({"pttPort":null,"pttMethod":null})").pttMethod,
              DirewolfPTTMethod::vox());

    const auto both = decodeJson<DirewolfConfig>(R"({"pttPort":"/dev/x","pttMethod":{"rigctld":{}}})");
    EXPECT_EQ(both.pttMethod, DirewolfPTTMethod::rigctld());
    EXPECT_EQ(both.pttPort, "/dev/x");
}

} // namespace
} // namespace cordavelle
