#include "radio/audio_device_manager.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

AudioDevice makeDevice(uint32_t id, const QString &uid, const QString &name, const QString &maker)
{
    return AudioDevice{id, uid, name, maker, true, true, false, false};
}

class AudioDeviceManagerTest : public ::testing::Test {
protected:
    test::TestPlatform env;
    test::FakeAudioSystem &audio = env.audio();
};

TEST_F(AudioDeviceManagerTest, EnumeratesDirectionsDefaultsAndSkipsUnreadableDevices)
{
    audio.add(10, "in-uid", "USB CODEC", "Acme", 1, 0);
    audio.add(11, "out-uid", "Speakers", "Built-in", 0, 2);
    auto &aggregate = audio.add(12, "agg-uid", "Aggregate", "", 0, 0);
    aggregate.inputStreams = {2, 2};
    audio.add(13, "bad-uid", "No maker", "x", 1, 1).manufacturer.reset();
    audio.add(14, "silent", "No channels", "x", 0, 0);
    audio.defaultInput = 10;
    audio.defaultOutput = 11;

    AudioDeviceManager manager(audio);
    ASSERT_EQ(manager.devices().size(), 4u);
    EXPECT_EQ(manager.devices()[0], (AudioDevice{10, "in-uid", "USB CODEC", "Acme", true, false, true, false}));
    EXPECT_EQ(manager.devices()[1], (AudioDevice{11, "out-uid", "Speakers", "Built-in", false, true, false, true}));
    EXPECT_TRUE(manager.devices()[2].hasInput) << "two streams of two channels";
    EXPECT_FALSE(manager.devices()[3].hasInput || manager.devices()[3].hasOutput);
    ASSERT_EQ(manager.inputDevices().size(), 2u);
    EXPECT_EQ(manager.inputDevices()[1].uid, "agg-uid");
    ASSERT_EQ(manager.outputDevices().size(), 1u);
    EXPECT_EQ(manager.outputDevices()[0].uid, "out-uid");
    EXPECT_TRUE(env.log().contains("Found 4 audio devices (2 input, 1 output)"));
    EXPECT_EQ(env.log().entries.back().subsystem, "com.kelvo.audio");
    EXPECT_EQ(env.log().entries.back().category, "device-enumeration");
}

TEST_F(AudioDeviceManagerTest, RefreshNotifiesOnlyRealChangesAndKeepsListsOnFailure)
{
    audio.add(1, "a", "A", "m", 1, 1);
    AudioDeviceManager manager(audio);
    int all = 0, inputs = 0, outputs = 0;
    QObject::connect(&manager, &AudioDeviceManager::devicesChanged, [&] { ++all; });
    QObject::connect(&manager, &AudioDeviceManager::inputDevicesChanged, [&] { ++inputs; });
    QObject::connect(&manager, &AudioDeviceManager::outputDevicesChanged, [&] { ++outputs; });

    manager.refreshDevices();
    EXPECT_EQ(all + inputs + outputs, 0);

    audio.add(2, "b", "B", "m", 0, 1);
    manager.refreshDevices();
    EXPECT_EQ(all, 1);
    EXPECT_EQ(inputs, 0);
    EXPECT_EQ(outputs, 1);

    audio.listStatus = -19;
    manager.refreshDevices();
    EXPECT_EQ(manager.devices().size(), 2u);
    EXPECT_TRUE(env.log().contains("Failed to enumerate audio devices: Audio system (ALSA/PulseAudio) error: -19"));
    EXPECT_EQ(all, 1);
}

TEST(AudioDeviceLookup, MatchesIdentityFirstThenAUniqueName)
{
    const std::vector<AudioDevice> list{makeDevice(1, "u1", "Twin", "Maker A"), makeDevice(2, "u2", "Twin", ""),
                                        makeDevice(3, "u3", "Solo", "Maker C")};
    EXPECT_EQ(AudioDeviceManager::device("u2", list)->id, 2u);
    EXPECT_EQ(AudioDeviceManager::device("Solo", list)->id, 3u);
    EXPECT_EQ(AudioDeviceManager::device("Twin", list), std::nullopt) << "ambiguous name";
    EXPECT_EQ(AudioDeviceManager::device("", list), std::nullopt);
    EXPECT_EQ(AudioDeviceManager::device("nothing", list), std::nullopt);

    EXPECT_EQ(AudioDeviceManager::displayLabel(list[0], list), "Twin — Maker A");
    EXPECT_EQ(AudioDeviceManager::displayLabel(list[1], list), "Twin — unknown");
    EXPECT_EQ(AudioDeviceManager::displayLabel(list[2], list), "Solo");
    // The same device listed twice is no twin of itself.
    EXPECT_EQ(AudioDeviceManager::displayLabel(list[2], {list[2], list[2]}), "Solo");
}

TEST(AudioDeviceManagerError, Descriptions)
{
    EXPECT_EQ(AudioDeviceManagerError::coreAudioError(-50).description(), "Audio system (ALSA/PulseAudio) error: -50");
    EXPECT_STREQ(AudioDeviceManagerError::propertyNotFound().what(), "Audio device property not found");
    EXPECT_EQ(AudioDeviceManagerError::noDevicesFound().description(), "No audio devices found on system");
}

} // namespace
} // namespace cordavelle
