#pragma once

#include "base/service_model.h"
#include "platform/described_error.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <exception>
#include <optional>

namespace cordavelle {

class WineDrivers;

// Errors of the VARA ini files. `what()` and `description()` give the user-facing text.
class VARAConfigError : public DescribedError {
public:
    enum class Code { iniNotFound };

    static VARAConfigError iniNotFound(const QString &path) { return VARAConfigError(Code::iniNotFound, path); }

    Code code() const { return m_code; }
    const QString &path() const { return m_path; }

private:
    VARAConfigError(Code code, QString path);

    Code m_code;
    QString m_path;
};

// The VARA HF / VARA FM ini files inside the helper's Wine prefix, and the audio devices that
// Wine has recorded in the same prefix. Stateless: every call reads the files anew.
//
// Writing touches only the four settings the helper owns; every other line, comment and blank
// line stays as it was, the file keeps its own line endings (and its byte-order mark), and a
// section that VARA wrote twice is merged into one.
class VARAConfigManager {
public:
    VARAConfigManager() = delete;

    struct VARASettings {
        QString callsign;
        QString inputDeviceName;
        QString outputDeviceName;
        // Wide enough for any whole number the file may hold, so an odd value is corrected
        // rather than misread.
        int64_t tcpCommandPort = 8300;

        bool operator==(const VARASettings &) const = default;
    };

    enum class AudioDirection { input, output };

    // A device as Wine lists it in the prefix (not a device of the audio system itself).
    struct AudioDevice {
        QString id;
        QString displayName;
        bool isUSB = false;
        bool isBuiltIn = false;
        bool isVirtualNetwork = false;

        bool operator==(const AudioDevice &) const = default;
    };

    static QString iniPath(VARAVariant variant);

    // The settings in the variant's ini file; the defaults (empty texts, the variant's command
    // port) when the file is missing, unreadable or not UTF-8. Never fails.
    static VARASettings readSettings(VARAVariant variant);

    // Updates the four settings in place. Throws `VARAConfigError::iniNotFound` when the file
    // can't be read as UTF-8 (and then leaves the disk alone), or `FileError` when saving
    // fails; the save is atomic, so a failure leaves the old file intact.
    static void writeSettings(const VARASettings &settings, VARAVariant variant);

    // The devices Wine has recorded for the direction, USB first, then virtual or network
    // devices, then other non-built-in devices, each group by name. Empty when the prefix's
    // registry file is absent or not UTF-8. A device whose shown name `drivers` can't tell is
    // left out.
    static QList<AudioDevice> availableAudioDevices(AudioDirection direction, const WineDrivers &drivers);

    // The device VARA should use when none is configured; never a built-in one.
    static std::optional<AudioDevice> suggestedDevice(AudioDirection direction, bool preferVirtualNetwork,
                                                      const WineDrivers &drivers);

private:
    static VARASettings parseINI(const QString &text, VARAVariant variant);
    static QString detectLineEnding(const QString &text);
    static QString dedupeSections(const QString &text, const QStringList &sectionNames);
    static QString upsertINIValue(const QString &text, const QString &section, const QString &key,
                                  const QString &value);
    static QString friendlyName(const QString &key);
    static bool isVirtualNetworkDevice(const QString &key);
};

size_t qHash(const VARAConfigManager::AudioDevice &device, size_t seed = 0) noexcept;

} // namespace cordavelle
