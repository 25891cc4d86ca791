#pragma once

#include "platform/audio_system.h"

#include <map>

namespace cordavelle::test {

// Sound devices that a test lays out by hand, including devices whose properties cannot be read
// and devices with several streams.
class FakeAudioSystem final : public AudioSystem {
public:
    struct Device {
        uint32_t id = 0;
        std::optional<QString> uid;
        std::optional<QString> name;
        std::optional<QString> manufacturer;
        std::vector<int> inputStreams;
        std::vector<int> outputStreams;
    };

    // Adds a readable device with one stream per direction it has.
    Device &add(uint32_t id, const QString &uid, const QString &name, const QString &manufacturer,
                int inputChannels, int outputChannels)
    {
        Device device;
        device.id = id;
        device.uid = uid;
        device.name = name;
        device.manufacturer = manufacturer;
        if (inputChannels > 0) {
            device.inputStreams = {inputChannels};
        }
        if (outputChannels > 0) {
            device.outputStreams = {outputChannels};
        }
        devices.push_back(device);
        return devices.back();
    }

    std::vector<uint32_t> deviceIDs() override
    {
        ++listReads;
        if (listStatus != 0) {
            throw AudioSystemError(listStatus);
        }
        std::vector<uint32_t> ids;
        for (const auto &d : devices) {
            ids.push_back(d.id);
        }
        return ids;
    }

    std::optional<uint32_t> defaultDevice(bool input) override
    {
        return input ? defaultInput : defaultOutput;
    }

    std::optional<QString> property(uint32_t id, Property which) override
    {
        const Device *d = find(id);
        if (!d) {
            return std::nullopt;
        }
        switch (which) {
        case Property::uid: return d->uid;
        case Property::name: return d->name;
        case Property::manufacturer: return d->manufacturer;
        }
        return std::nullopt;
    }

    std::vector<int> streamChannels(uint32_t id, bool input) override
    {
        const Device *d = find(id);
        return d ? (input ? d->inputStreams : d->outputStreams) : std::vector<int>{};
    }

    std::vector<Device> devices;
    std::optional<uint32_t> defaultInput;
    std::optional<uint32_t> defaultOutput;
    // A non-zero status makes the device list unreadable.
    int32_t listStatus = 0;
    int listReads = 0;

private:
    const Device *find(uint32_t id) const
    {
        for (const auto &d : devices) {
            if (d.id == id) {
                return &d;
            }
        }
        return nullptr;
    }
};

} // namespace cordavelle::test
