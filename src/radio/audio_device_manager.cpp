#include "audio_device_manager.h"

#include "platform/platform.h"

namespace cordavelle {

namespace {

QString describe(AudioDeviceManagerError::Code code, int32_t status)
{
    using Code = AudioDeviceManagerError::Code;
    switch (code) {
    case Code::coreAudioError: return QStringLiteral("Audio system (ALSA/PulseAudio) error: ") + QString::number(status);
    case Code::propertyNotFound: return QStringLiteral("Audio device property not found");
    case Code::noDevicesFound: return QStringLiteral("No audio devices found on system");
    }
    return {};
}

} // namespace

AudioDeviceManagerError::AudioDeviceManagerError(Code code, int32_t status)
    : DescribedError(describe(code, status)), m_code(code), m_status(status)
{
}

AudioDeviceManager::AudioDeviceManager(AudioSystem &system, QObject *parent) : QObject(parent), m_system(system)
{
    refreshDevices();
}

AudioDeviceManager &AudioDeviceManager::shared()
{
    static AudioDeviceManager *instance = new AudioDeviceManager(Platform::current().audioSystem());
    return *instance;
}

const Logger &AudioDeviceManager::log()
{
    static const Logger logger(QStringLiteral("com.kelvo.audio"), QStringLiteral("device-enumeration"));
    return logger;
}

void AudioDeviceManager::refreshDevices()
{
    std::vector<AudioDevice> all;
    try {
        all = enumerateDevices();
    } catch (const AudioDeviceManagerError &error) {
        log().error(QStringLiteral("Failed to enumerate audio devices: ") + error.description());
        return;
    }
    std::vector<AudioDevice> inputs;
    std::vector<AudioDevice> outputs;
    for (const AudioDevice &d : all) {
        if (d.hasInput) {
            inputs.push_back(d);
        }
        if (d.hasOutput) {
            outputs.push_back(d);
        }
    }
    const auto total = all.size();
    const auto inputCount = inputs.size();
    const auto outputCount = outputs.size();
    setDevices(std::move(all));
    setInputDevices(std::move(inputs));
    setOutputDevices(std::move(outputs));
    log().info(QStringLiteral("Found %1 audio devices (%2 input, %3 output)").arg(total).arg(inputCount).arg(outputCount));
}

std::vector<AudioDevice> AudioDeviceManager::enumerateDevices()
{
    std::vector<uint32_t> ids;
    try {
        ids = m_system.deviceIDs();
    } catch (const AudioSystemError &error) {
        throw AudioDeviceManagerError::coreAudioError(error.status());
    }
    const auto defaultInput = m_system.defaultDevice(true);
    const auto defaultOutput = m_system.defaultDevice(false);
    std::vector<AudioDevice> devices;
    for (uint32_t id : ids) {
        if (auto device = queryDevice(id, defaultInput, defaultOutput)) {
            devices.push_back(std::move(*device));
        }
    }
    return devices;
}

std::optional<AudioDevice> AudioDeviceManager::queryDevice(uint32_t id, std::optional<uint32_t> defaultInput,
                                                           std::optional<uint32_t> defaultOutput)
{
    // A device whose identity, name or maker cannot be read is left out on its own.
    const auto uid = m_system.property(id, AudioSystem::Property::uid);
    if (!uid) {
        return std::nullopt;
    }
    const auto name = m_system.property(id, AudioSystem::Property::name);
    if (!name) {
        return std::nullopt;
    }
    const auto maker = m_system.property(id, AudioSystem::Property::manufacturer);
    if (!maker) {
        return std::nullopt;
    }
    AudioDevice device;
    device.id = id;
    device.uid = *uid;
    device.name = *name;
    device.manufacturer = *maker;
    device.hasInput = channelCount(id, true) > 0;
    device.hasOutput = channelCount(id, false) > 0;
    device.isDefaultInput = defaultInput == id;
    device.isDefaultOutput = defaultOutput == id;
    return device;
}

int AudioDeviceManager::channelCount(uint32_t id, bool input)
{
    int sum = 0;
    for (int channels : m_system.streamChannels(id, input)) {
        sum += channels;
    }
    return sum;
}

std::optional<AudioDevice> AudioDeviceManager::device(const QString &identifier, const std::vector<AudioDevice> &in)
{
    if (identifier.isEmpty()) {
        return std::nullopt;
    }
    for (const AudioDevice &d : in) {
        if (d.uid == identifier) {
            return d;
        }
    }
    std::optional<AudioDevice> byName;
    for (const AudioDevice &d : in) {
        if (d.name == identifier) {
            if (byName) {
                return std::nullopt; // ambiguous
            }
            byName = d;
        }
    }
    return byName;
}

QString AudioDeviceManager::displayLabel(const AudioDevice &device, const std::vector<AudioDevice> &in)
{
    bool shared = false;
    for (const AudioDevice &d : in) {
        if (d.name == device.name && d.uid != device.uid) {
            shared = true;
            break;
        }
    }
    if (!shared) {
        return device.name;
    }
    return device.name + QStringLiteral(" — ")
           + (device.manufacturer.isEmpty() ? QStringLiteral("unknown") : device.manufacturer);
}

std::optional<AudioDevice> AudioDeviceManager::device(const QString &identifier, bool isInput) const
{
    return device(identifier, isInput ? m_inputDevices : m_outputDevices);
}

QString AudioDeviceManager::displayLabel(const AudioDevice &device, bool isInput) const
{
    return displayLabel(device, isInput ? m_inputDevices : m_outputDevices);
}

void AudioDeviceManager::setDevices(std::vector<AudioDevice> devices)
{
    const bool changed = devices != m_devices;
    m_devices = std::move(devices);
    if (changed) {
        Q_EMIT devicesChanged();
    }
}

void AudioDeviceManager::setInputDevices(std::vector<AudioDevice> devices)
{
    const bool changed = devices != m_inputDevices;
    m_inputDevices = std::move(devices);
    if (changed) {
        Q_EMIT inputDevicesChanged();
    }
}

void AudioDeviceManager::setOutputDevices(std::vector<AudioDevice> devices)
{
    const bool changed = devices != m_outputDevices;
    m_outputDevices = std::move(devices);
    if (changed) {
        Q_EMIT outputDevicesChanged();
    }
}

} // namespace cordavelle
