#pragma once

#include "platform/audio_system.h"
#include "platform/described_error.h"
#include "platform/logger.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <exception>
#include <optional>
#include <vector>

namespace cordavelle {

// A sound device of the machine. On Linux `uid` and `name` are both the ALSA PCM name.
struct AudioDevice {
    uint32_t id = 0;
    QString uid;
    QString name;
    QString manufacturer;
    bool hasInput = false;
    bool hasOutput = false;
    bool isDefaultInput = false;
    bool isDefaultOutput = false;

    bool operator==(const AudioDevice &) const = default;
};

class AudioDeviceManagerError : public DescribedError {
public:
    enum class Code { coreAudioError, propertyNotFound, noDevicesFound };

    static AudioDeviceManagerError coreAudioError(int32_t status) { return {Code::coreAudioError, status}; }
    static AudioDeviceManagerError propertyNotFound() { return {Code::propertyNotFound, 0}; }
    static AudioDeviceManagerError noDevicesFound() { return {Code::noDevicesFound, 0}; }

    Code code() const { return m_code; }
    int32_t status() const { return m_status; }

private:
    AudioDeviceManagerError(Code code, int32_t status);

    Code m_code;
    int32_t m_status;
};

// The machine's sound devices for the Direwolf page's pickers and the direwolf.conf writer.
// Filled once at creation and again only when asked (`refreshDevices()`); device changes of the
// system are not followed.
class AudioDeviceManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::vector<cordavelle::AudioDevice> devices READ devices NOTIFY devicesChanged)
    Q_PROPERTY(std::vector<cordavelle::AudioDevice> inputDevices READ inputDevices NOTIFY inputDevicesChanged)
    Q_PROPERTY(std::vector<cordavelle::AudioDevice> outputDevices READ outputDevices NOTIFY outputDevicesChanged)
public:
    // Reads the devices once.
    explicit AudioDeviceManager(AudioSystem &system, QObject *parent = nullptr);

    // The one instance, over the platform's sound system, made on first use.
    static AudioDeviceManager &shared();

    const std::vector<AudioDevice> &devices() const { return m_devices; }
    const std::vector<AudioDevice> &inputDevices() const { return m_inputDevices; }
    const std::vector<AudioDevice> &outputDevices() const { return m_outputDevices; }

    // Re-reads every device; a failure is logged and the lists stay as they were.
    void refreshDevices();

    // By identity first; else by name when exactly one device has that name.
    static std::optional<AudioDevice> device(const QString &identifier, const std::vector<AudioDevice> &in);
    // The name, or "name — maker" when another device of the list shares the name.
    static QString displayLabel(const AudioDevice &device, const std::vector<AudioDevice> &in);
    std::optional<AudioDevice> device(const QString &identifier, bool isInput) const;
    QString displayLabel(const AudioDevice &device, bool isInput) const;

    static const Logger &log();

Q_SIGNALS:
    void devicesChanged();
    void inputDevicesChanged();
    void outputDevicesChanged();

private:
    // Throws AudioDeviceManagerError.
    std::vector<AudioDevice> enumerateDevices();
    std::optional<AudioDevice> queryDevice(uint32_t id, std::optional<uint32_t> defaultInput,
                                           std::optional<uint32_t> defaultOutput);
    int channelCount(uint32_t id, bool input);

    void setDevices(std::vector<AudioDevice> devices);
    void setInputDevices(std::vector<AudioDevice> devices);
    void setOutputDevices(std::vector<AudioDevice> devices);

    AudioSystem &m_system;
    std::vector<AudioDevice> m_devices;
    std::vector<AudioDevice> m_inputDevices;
    std::vector<AudioDevice> m_outputDevices;
};

} // namespace cordavelle
