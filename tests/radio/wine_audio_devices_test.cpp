#include "radio/vara_config_manager.h"

#include "base/wine_environment.h"

#include "support/fixed_wine_drivers.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using Manager = VARAConfigManager;
using Direction = VARAConfigManager::AudioDirection;

// One line per device: name, then U (USB), V (virtual or network), B (built in), in list order.
QStringList describe(const QList<Manager::AudioDevice> &devices)
{
    QStringList out;
    for (const auto &d : devices) {
        out << d.displayName + u' ' + (d.isUSB ? u'U' : u'-') + (d.isVirtualNetwork ? u'V' : u'-') +
                   (d.isBuiltIn ? u'B' : u'-');
    }
    return out;
}

QByteArray fixture(const char *name)
{
    return test::readBytes(QStringLiteral(HELPER_TEST_SOURCE_DIR "/radio/fixtures/") + QLatin1String(name));
}

QByteArray registryWith(const QStringList &lines)
{
    return ("WINE REGISTRY Version 2\n\n" + lines.join(u'\n') + u'\n').toUtf8();
}

QString deviceLine(const QString &driver, const QString &flowAndKey)
{
    return QStringLiteral("[Software\\\\Wine\\\\Drivers\\\\") + driver + QStringLiteral("\\\\devices\\\\") + flowAndKey +
           QStringLiteral("] 1712340000");
}

class WineAudioDevicesTest : public ::testing::Test {
protected:
    void putRegistry(const QByteArray &bytes) { test::writeFile(WineEnvironment::userRegistryFile(), bytes); }
    QList<Manager::AudioDevice> devices(Direction direction)
    {
        return Manager::availableAudioDevices(direction, env.platform().wineDrivers());
    }
    QString suggestion(Direction direction, bool preferVirtualNetwork)
    {
        const auto device = Manager::suggestedDevice(direction, preferVirtualNetwork, env.platform().wineDrivers());
        return device ? device->displayName : QStringLiteral("(none)");
    }

    test::TestPlatform env;
};

TEST_F(WineAudioDevicesTest, MacDriverFormListsAndSuggestsInBothDirections)
{
    putRegistry(fixture("macos_user.reg"));
    EXPECT_EQ(describe(devices(Direction::output)),
              QStringList({"USB Audio CODEC U--", "BlackHole2ch_UID -V-", "SmartSDR DAX Audio TX 1 -V-",
                           "CalDigit Audio ---", "Built-in Speaker --B"}));
    EXPECT_EQ(describe(devices(Direction::input)),
              QStringList({"USB Audio CODEC U--", "BlackHole2ch_UID -V-", "SmartSDR DAX Audio RX 1 -V-",
                           "AggregateDevice-7F3A9C21-0D4B- ---", "Built-in Microphone --B"}));
    EXPECT_EQ(devices(Direction::input).first().id,
              "AppleUSBAudioEngine:Burr-Brown from TI:USB Audio CODEC:14100000:1");

    EXPECT_EQ(suggestion(Direction::output, false), "USB Audio CODEC");
    EXPECT_EQ(suggestion(Direction::output, true), "BlackHole2ch_UID");
    EXPECT_EQ(suggestion(Direction::input, false), "USB Audio CODEC");
    EXPECT_EQ(suggestion(Direction::input, true), "BlackHole2ch_UID");
}

TEST_F(WineAudioDevicesTest, OnLinuxTheSoundServerNamesTheDevicesAsVARAListsThem)
{
    env.platform().setWineDrivers(std::make_shared<LinuxWineDrivers>());
    putRegistry(fixture("linux_user.reg"));
    ASSERT_TRUE(test::writeProgram(env.hostPath("/usr/bin/pactl"), fixture("pactl")));
    env.commands().passThrough("pactl");

    // Names are the node descriptions, cut as Wine cuts a wave device's name; nodes the sound
    // server doesn't list (the DAX channels) are left out.
    EXPECT_EQ(describe(devices(Direction::output)),
              QStringList({"PCM2902 Audio Codec Analog Ster U--", "VARA loopback -V-",
                           "Built-in Audio Analog Stereo ---"}));
    EXPECT_EQ(describe(devices(Direction::input)),
              QStringList({"PCM2902 Audio Codec Analog Ster U--", "Monitor of VARA loopback -V-",
                           "Built-in Audio Analog Stereo ---"}));
    EXPECT_EQ(suggestion(Direction::output, true), "VARA loopback");

    // Keys of Wine's ALSA driver and of a Mac's prefix name nothing this Wine shows.
    putRegistry(registryWith({deviceLine("winealsa.drv", "0,default"), deviceLine("winecoreaudio.drv", "0,USBDevice")}));
    EXPECT_TRUE(devices(Direction::output).isEmpty());

    // Without an answering sound server no name can be known.
    putRegistry(fixture("linux_user.reg"));
    ASSERT_TRUE(test::writeProgram(env.hostPath("/usr/bin/pactl"), "#!/bin/sh\necho 'Connection failure' >&2\nexit 1\n"));
    EXPECT_TRUE(devices(Direction::input).isEmpty());
    QFile::remove(env.hostPath("/usr/bin/pactl"));
    EXPECT_TRUE(devices(Direction::output).isEmpty());
}

TEST_F(WineAudioDevicesTest, ThePlatformDecidesWhichDriversAreRead)
{
    putRegistry(fixture("linux_user.reg"));
    env.platform().setWineDrivers(std::make_shared<test::FixedWineDrivers>(QStringList{"winecoreaudio.drv"}));
    EXPECT_TRUE(devices(Direction::output).isEmpty());
    env.platform().setWineDrivers(std::make_shared<test::FixedWineDrivers>(QStringList{"winepulse.drv"}));
    EXPECT_EQ(devices(Direction::output).size(), 4);
}

TEST_F(WineAudioDevicesTest, ReadableNamesAndClassification)
{
    const QString longKey = QString(29, u'A') + QStringLiteral("e\u0301XYZ");
    const QStringList keys = {
        "AppleUSBAudioEngine::Maker::Product:",     // empty pieces don't count
        "AppleUSBAudioEngine:Maker",                // too few pieces for a product name
        "VoiceMeetervbcableC_vbcableA",             // the cables are tried in order A to D
        "VBCableB",                                 // the cable letters are case-sensitive
        "Dax Audio rx 12",                          //
        "dax audio tx 2:dax audio rx 3",            // the first channel, not across ":"
        "daxiq",                                    // "dax" without a channel number
        "FlexRadio",                                //
        "CalDigit:Dock",                            // too few pieces
        "BLACKHOLE16ch_UID",                        //
        "MyLoopBack",                               //
        "BuiltInSpeakerDevice2",                    //
        "Extremely-Long-Aggregate-Device-Name-1",   //
        "Extremely-Long-Aggregate-Device-Name-2",   //
        longKey,                                    // a character of two code units at the cut
    };
    QStringList lines;
    for (const QString &key : keys) {
        lines << deviceLine("winecoreaudio.drv", "0," + key);
    }
    lines << "[Software\\\\Wine\\\\Drivers\\\\winecoreaudio.drv\\\\devices\\\\0,NoClosingBracket";
    putRegistry(registryWith(lines));

    QMap<QString, QString> names;
    QMap<QString, bool> virtualNetwork;
    for (const auto &d : devices(Direction::output)) {
        names[d.id] = d.displayName;
        virtualNetwork[d.id] = d.isVirtualNetwork;
    }
    EXPECT_EQ(names.size(), keys.size() + 1);
    EXPECT_EQ(names["AppleUSBAudioEngine::Maker::Product:"], "Product");
    EXPECT_EQ(names["AppleUSBAudioEngine:Maker"], "AppleUSBAudioEngine:Maker");
    EXPECT_EQ(names["VoiceMeetervbcableC_vbcableA"], "VB-Cable A");
    EXPECT_EQ(names["VBCableB"], "VBCableB");
    EXPECT_EQ(names["Dax Audio rx 12"], "SmartSDR DAX Audio RX 12");
    EXPECT_EQ(names["dax audio tx 2:dax audio rx 3"], "SmartSDR DAX Audio TX 2");
    EXPECT_EQ(names["daxiq"], "SmartSDR DAX (daxiq)");
    EXPECT_EQ(names["FlexRadio"], "SmartSDR DAX (FlexRadio)");
    EXPECT_EQ(names["CalDigit:Dock"], "CalDigit:Dock");
    EXPECT_EQ(names["BLACKHOLE16ch_UID"], "BLACKHOLE16ch_UID");
    EXPECT_EQ(names["BuiltInSpeakerDevice2"], "BuiltInSpeakerDevice2");
    EXPECT_EQ(names["Extremely-Long-Aggregate-Device-Name-1"], "Extremely-Long-Aggregate-Devic");
    EXPECT_EQ(names["Extremely-Long-Aggregate-Device-Name-2"], "Extremely-Long-Aggregate-Devic");
    EXPECT_EQ(names[longKey], QString(29, u'A') + QStringLiteral("e\u0301"));
    EXPECT_EQ(names["NoClosingBracket"], "NoClosingBracket");

    EXPECT_TRUE(virtualNetwork["VBCableB"]);
    EXPECT_TRUE(virtualNetwork["BLACKHOLE16ch_UID"]);
    EXPECT_TRUE(virtualNetwork["MyLoopBack"]);
    EXPECT_TRUE(virtualNetwork["daxiq"]);
    EXPECT_FALSE(virtualNetwork["CalDigit:Dock"]);
}

TEST_F(WineAudioDevicesTest, RepeatedKeysAreAllListedAndBuiltInsAreNeverSuggested)
{
    putRegistry(registryWith({deviceLine("winecoreaudio.drv", "0,BuiltInSpeakerDevice"),
                              deviceLine("winecoreaudio.drv", "0,BuiltInSpeakerDevice"),
                              deviceLine("winecoreaudio.drv", "1,BuiltInMicrophoneDevice")}));
    EXPECT_EQ(describe(devices(Direction::output)),
              QStringList({"Built-in Speaker --B", "Built-in Speaker --B"}));
    EXPECT_EQ(describe(devices(Direction::input)), QStringList({"Built-in Microphone --B"}));
    EXPECT_EQ(suggestion(Direction::output, true), "(none)");
    EXPECT_EQ(suggestion(Direction::input, false), "(none)");
}

TEST_F(WineAudioDevicesTest, MissingOrDamagedRegistryGivesNoDevicesAndStaysUntouched)
{
    EXPECT_TRUE(devices(Direction::output).isEmpty());
    EXPECT_EQ(suggestion(Direction::input, true), "(none)");
    EXPECT_FALSE(QFileInfo::exists(WineEnvironment::prefixPath()));

    const QByteArray damaged = registryWith({deviceLine("winecoreaudio.drv", "0,USBDevice")}) + "\xFF\xFE\x80";
    putRegistry(damaged);
    EXPECT_TRUE(devices(Direction::output).isEmpty());
    EXPECT_EQ(test::readBytes(WineEnvironment::userRegistryFile()), damaged);
    EXPECT_TRUE(env.log().entries.empty());
}

} // namespace
} // namespace cordavelle
