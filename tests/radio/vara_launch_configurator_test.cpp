#include "radio/vara_launch_configurator.h"

#include "base/wine_environment.h"
#include "radio/vara_config_manager.h"

#include "read_only_folder.h"
#include "support/test_files.h"
#include "support/test_platform.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

using Outcome = VARALaunchConfigurator::Outcome;

const QString kArrow = QStringLiteral(" \u2192 ");

QByteArray registryOf(const QStringList &flowAndKeys)
{
    QString text = QStringLiteral("WINE REGISTRY Version 2\n\n");
    for (const QString &k : flowAndKeys) {
        text += QStringLiteral("[Software\\\\Wine\\\\Drivers\\\\winecoreaudio.drv\\\\devices\\\\") + k +
                QStringLiteral("] 1712340000\n\"guid\"=hex:00\n\n");
    }
    return text.toUtf8();
}

const QString kUsbCodec = QStringLiteral("AppleUSBAudioEngine:Burr-Brown from TI:USB Audio CODEC:14100000:1");

class VARALaunchConfiguratorTest : public ::testing::Test {
protected:
    QString iniPath(VARAVariant variant = VARAVariant::hf) const { return VARAConfigManager::iniPath(variant); }
    void putIni(const QByteArray &bytes, VARAVariant variant = VARAVariant::hf) const
    {
        test::writeFile(iniPath(variant), bytes);
    }
    QByteArray ini(VARAVariant variant = VARAVariant::hf) const { return test::readBytes(iniPath(variant)); }
    void putDevices(const QStringList &flowAndKeys) const
    {
        test::writeFile(WineEnvironment::userRegistryFile(), registryOf(flowAndKeys));
    }

    Outcome selfHeal(VARAVariant variant, std::optional<int> rigModel)
    {
        return VARALaunchConfigurator::selfHeal(variant, rigModel, env.platform().wineDrivers());
    }

    test::TestPlatform env;
};

TEST_F(VARALaunchConfiguratorTest, NoIniMeansNothingToDo)
{
    putDevices({"1," + kUsbCodec});
    EXPECT_EQ(selfHeal(VARAVariant::hf, 1), Outcome::iniMissing());
    EXPECT_FALSE(QFileInfo::exists(iniPath()));
}

TEST_F(VARALaunchConfiguratorTest, ACompleteFileIsNotRewritten)
{
    putDevices({"1," + kUsbCodec});
    const QByteArray before("[Soundcard]\r\nInput Device Name=Gone Device\r\nOutput Device Name = Speakers\r\n"
                            "[Setup]\r\nTCP Command Port=8300\r\n");
    putIni(before);
    const QDateTime past = QDateTime::currentDateTimeUtc().addDays(-2);
    {
        QFile file(iniPath());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(past, QFileDevice::FileModificationTime));
    }
    // A configured device is kept even when Wine no longer lists it.
    EXPECT_EQ(selfHeal(VARAVariant::hf, 1), Outcome::unchanged());
    EXPECT_EQ(ini(), before);
    EXPECT_EQ(QFileInfo(iniPath()).lastModified().toUTC(), past);
}

TEST_F(VARALaunchConfiguratorTest, WrongPortIsCorrected)
{
    putIni("[Soundcard]\nInput Device Name=Mic\nOutput Device Name=Spk\n\n[Setup]\nTCP Command Port = 8301\n");
    EXPECT_EQ(selfHeal(VARAVariant::hf, 1), Outcome::healed("port 8301" + kArrow + "8300"));
    EXPECT_EQ(ini(), "[Soundcard]\nInput Device Name=Mic\nOutput Device Name=Spk\n\n[Setup]\nTCP Command Port=8300\n"
                     "Callsign Licence 0=\n");
}

TEST_F(VARALaunchConfiguratorTest, RigModelDecidesBetweenNetworkAndUsbAudio)
{
    putDevices({"1,BuiltInMicrophoneDevice", "1," + kUsbCodec, "1,FlexRadio:DAX Audio RX 1"});
    const auto inputChosenFor = [this](std::optional<int> rigModel) {
        putIni("[Soundcard]\nOutput Device Name=Spk\n[Setup]\nTCP Command Port=8300\n");
        const Outcome outcome = selfHeal(VARAVariant::hf, rigModel);
        EXPECT_EQ(outcome.kind(), Outcome::Kind::healed);
        return VARAConfigManager::readSettings(VARAVariant::hf).inputDeviceName;
    };
    EXPECT_EQ(inputChosenFor(2036), "SmartSDR DAX Audio RX 1");
    EXPECT_EQ(inputChosenFor(23005), "SmartSDR DAX Audio RX 1");
    EXPECT_EQ(inputChosenFor(23012), "SmartSDR DAX Audio RX 1");
    EXPECT_EQ(inputChosenFor(23004), "USB Audio CODEC");
    EXPECT_EQ(inputChosenFor(23013), "USB Audio CODEC");
    EXPECT_EQ(inputChosenFor(1), "USB Audio CODEC");
    EXPECT_EQ(inputChosenFor(std::nullopt), "USB Audio CODEC");
}

TEST_F(VARALaunchConfiguratorTest, NotesListEveryChangeInOrder)
{
    putDevices({"0,BuiltInSpeakerDevice", "1," + kUsbCodec, "1,BuiltInMicrophoneDevice"});
    putIni("[Setup]\nCallsign Licence 0=N0CALL\nTCP Command Port=8301\n", VARAVariant::fm);
    // Only built-in playback devices: the output stays empty and gets no note.
    EXPECT_EQ(selfHeal(VARAVariant::fm, 1),
              Outcome::healed("input device" + kArrow + "USB Audio CODEC, port 8301" + kArrow + "8300"));
    EXPECT_EQ(VARAConfigManager::readSettings(VARAVariant::fm),
              (VARAConfigManager::VARASettings{"N0CALL", "USB Audio CODEC", "", 8300}));

    putDevices({"0,BlackHole2ch_UID", "1,BlackHole2ch_UID"});
    putIni("", VARAVariant::fm);
    EXPECT_EQ(selfHeal(VARAVariant::fm, 2036),
              Outcome::healed("input device" + kArrow + "BlackHole2ch_UID, output device" + kArrow + "BlackHole2ch_UID"));
    EXPECT_FALSE(QFileInfo::exists(iniPath(VARAVariant::hf)));
}

TEST_F(VARALaunchConfiguratorTest, AnUnreadableIniIsReportedAndLeftAlone)
{
    const QByteArray latin1("[Setup]\nCallsign Licence 0=F\xC9LIX\nTCP Command Port=8300\n");
    putIni(latin1);
    // Nothing suitable to fill in: nothing to write, so no error.
    putDevices({"1,BuiltInMicrophoneDevice"});
    EXPECT_EQ(selfHeal(VARAVariant::hf, 1), Outcome::unchanged());

    putDevices({"1," + kUsbCodec});
    try {
        selfHeal(VARAVariant::hf, 1);
        ADD_FAILURE() << "an unreadable ini can't be healed";
    } catch (const VARALaunchConfigurator::Error &error) {
        EXPECT_EQ(error.description(), "Failed to write VARA ini: VARA configuration file not found at " + iniPath());
        EXPECT_EQ(QString::fromUtf8(error.what()), error.description());
    }
    EXPECT_EQ(ini(), latin1);
}

TEST_F(VARALaunchConfiguratorTest, AFailedSaveIsReportedAndLeavesTheFile)
{
    const QByteArray before("[Soundcard]\nInput Device Name=Mic\nOutput Device Name=Spk\n[Setup]\nTCP Command Port=1\n");
    putIni(before);
    test::ReadOnlyFolder folder(QFileInfo(iniPath()).path());
    if (!folder.active()) {
        GTEST_SKIP() << "cannot make a folder read-only here";
    }
    try {
        selfHeal(VARAVariant::hf, 1);
        ADD_FAILURE() << "saving into a read-only folder must fail";
    } catch (const VARALaunchConfigurator::Error &error) {
        EXPECT_TRUE(error.description().startsWith("Failed to write VARA ini: Could not write " + iniPath() + ": "))
            << error.description().toStdString();
    }
    EXPECT_EQ(ini(), before);
}

TEST_F(VARALaunchConfiguratorTest, OnLinuxOnlyANameVARAWillListIsFilledIn)
{
    env.platform().setWineDrivers(std::make_shared<LinuxWineDrivers>());
    test::writeFile(WineEnvironment::userRegistryFile(),
                    test::readBytes(QStringLiteral(HELPER_TEST_SOURCE_DIR "/radio/fixtures/linux_user.reg")));
    const QByteArray empty("[Soundcard]\nInput Device Name=\nOutput Device Name=\n\n[Setup]\nTCP Command Port=8300\n");

    // No sound server to ask: the device fields stay as they are and the file is not written.
    putIni(empty);
    EXPECT_EQ(selfHeal(VARAVariant::hf, 1), Outcome::unchanged());
    EXPECT_EQ(ini(), empty);

    ASSERT_TRUE(test::writeProgram(env.hostPath("/usr/bin/pactl"),
                                   test::readBytes(QStringLiteral(HELPER_TEST_SOURCE_DIR "/radio/fixtures/pactl"))));
    env.commands().passThrough("pactl");
    const QString codec = QStringLiteral("PCM2902 Audio Codec Analog Ster");
    EXPECT_EQ(selfHeal(VARAVariant::hf, 1),
              Outcome::healed("input device" + kArrow + codec + ", output device" + kArrow + codec));
    EXPECT_EQ(VARAConfigManager::readSettings(VARAVariant::hf), (VARAConfigManager::VARASettings{"", codec, codec, 8300}));
}

} // namespace
} // namespace cordavelle
