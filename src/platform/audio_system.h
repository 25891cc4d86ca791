#pragma once

#include "described_error.h"

#include <QString>

#include <cstdint>
#include <exception>
#include <optional>
#include <vector>

namespace cordavelle {

// The system's list of devices could not be read; `status` is the system's code.
class AudioSystemError : public DescribedError {
public:
    explicit AudioSystemError(int32_t status)
        : DescribedError(QStringLiteral("The sound system's list of devices could not be read (error %1)").arg(status)),
          m_status(status)
    {
    }
    int32_t status() const { return m_status; }

private:
    int32_t m_status;
};

// The sound devices of the machine, asked one property at a time so that a device whose
// property cannot be read can be left out on its own.
class AudioSystem {
public:
    enum class Property { uid, name, manufacturer };

    virtual ~AudioSystem() = default;

    // Identifiers of every device, in the system's order; each stays valid until the next call.
    // Throws AudioSystemError.
    virtual std::vector<uint32_t> deviceIDs() = 0;
    // The default device of a direction; absent when there is none or it cannot be read.
    virtual std::optional<uint32_t> defaultDevice(bool input) = 0;
    // A text property of a device; absent when it cannot be read.
    virtual std::optional<QString> property(uint32_t device, Property property) = 0;
    // The channel count of each stream of a device in one direction; empty when the device has
    // none in that direction or they cannot be read.
    virtual std::vector<int> streamChannels(uint32_t device, bool input) = 0;
};

// ALSA's PCM device hints. The identity and the name of a device are both its PCM name
// ("plughw:CARD=CODEC,DEV=0"), which is what Direwolf opens; the maker is the first line of the
// device's description. The defaults are the device behind ALSA's "default" (or, without one,
// the first card's "sysdefault").
class AlsaAudioSystem final : public AudioSystem {
public:
    std::vector<uint32_t> deviceIDs() override;
    std::optional<uint32_t> defaultDevice(bool input) override;
    std::optional<QString> property(uint32_t device, Property property) override;
    std::vector<int> streamChannels(uint32_t device, bool input) override;

private:
    struct Entry {
        uint32_t id;
        QString name;
        QString description;
        bool input;
        bool output;
    };
    const Entry *find(uint32_t device) const;

    std::vector<Entry> m_entries;
};

} // namespace cordavelle
