// The audio devices Wine has recorded in the helper's prefix, as VARA will see them.

#include "base/text_file.h"
#include "base/wine_environment.h"
#include "radio/vara_config_manager.h"

#include "platform/wine_drivers.h"

#include <QHashFunctions>
#include <QRegularExpression>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <vector>

namespace cordavelle {

namespace {

// The first `count` characters as the user sees them (a character may span several code units).
QString leadingCharacters(const QString &text, int count)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int seen = 0;
    while (seen < count) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0) {
            return text;
        }
        ++seen;
    }
    return text.left(finder.position());
}

QStringList colonPieces(const QString &key) { return key.split(u':', Qt::SkipEmptyParts); }

} // namespace

size_t qHash(const VARAConfigManager::AudioDevice &device, size_t seed) noexcept
{
    return qHashMulti(seed, device.id, device.displayName, device.isUSB, device.isBuiltIn, device.isVirtualNetwork);
}

QString VARAConfigManager::friendlyName(const QString &key)
{
    if (key == QStringLiteral("BuiltInSpeakerDevice")) {
        return QStringLiteral("Built-in Speaker");
    }
    if (key == QStringLiteral("BuiltInMicrophoneDevice")) {
        return QStringLiteral("Built-in Microphone");
    }
    if (key.startsWith(QStringLiteral("AppleUSBAudioEngine:"))) {
        const QStringList pieces = colonPieces(key);
        if (pieces.size() >= 3) {
            return pieces[2];
        }
    }
    static const char *const cables[] = {"A", "B", "C", "D"};
    for (const char *cable : cables) {
        if (key.contains(QStringLiteral("vbcable") + QLatin1String(cable))) {
            return QStringLiteral("VB-Cable ") + QLatin1String(cable);
        }
    }
    const QString lower = key.toLower();
    if (lower.contains(QStringLiteral("flexradio")) || lower.contains(QStringLiteral("smartsdr")) ||
        lower.contains(QStringLiteral("dax"))) {
        static const QRegularExpression daxChannel(
            QStringLiteral("dax[^:]*\\d+"),
            QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
        const QRegularExpressionMatch match = daxChannel.match(key);
        if (!match.hasMatch()) {
            return QStringLiteral("SmartSDR DAX (") + leadingCharacters(key, 30) + u')';
        }
        QString name = match.captured(0);
        name.replace(QStringLiteral("dax"), QStringLiteral("DAX"), Qt::CaseInsensitive);
        name.replace(QStringLiteral("audio"), QStringLiteral("Audio"), Qt::CaseInsensitive);
        name.replace(QStringLiteral(" rx "), QStringLiteral(" RX "), Qt::CaseInsensitive);
        name.replace(QStringLiteral(" tx "), QStringLiteral(" TX "), Qt::CaseInsensitive);
        return QStringLiteral("SmartSDR ") + name;
    }
    if (key.contains(QStringLiteral("CalDigit"))) {
        const QStringList pieces = colonPieces(key);
        if (pieces.size() > 2) {
            return pieces[2];
        }
    }
    return leadingCharacters(key, 30);
}

bool VARAConfigManager::isVirtualNetworkDevice(const QString &key)
{
    static const QStringList words = {QStringLiteral("flexradio"), QStringLiteral("smartsdr"), QStringLiteral("dax"),
                                      QStringLiteral("vbcable"),   QStringLiteral("blackhole"), QStringLiteral("loopback")};
    const QString lower = key.toLower();
    return std::any_of(words.cbegin(), words.cend(), [&](const QString &word) { return lower.contains(word); });
}

QList<VARAConfigManager::AudioDevice> VARAConfigManager::availableAudioDevices(AudioDirection direction,
                                                                        const WineDrivers &drivers)
{
    const auto file = textfile::readUtf8(WineEnvironment::userRegistryFile());
    if (!file) {
        return {};
    }

    // The registry file doubles every backslash of a key name.
    const bool capture = direction == AudioDirection::input;
    const QString prefix = capture ? QStringLiteral("1,") : QStringLiteral("0,");
    struct Driver {
        QString key;
        QString marker;
        // Asked for the first time a device of the driver turns up.
        std::optional<std::optional<QHash<QString, QString>>> names;
    };
    std::vector<Driver> known;
    for (const QString &driver : drivers.audioDriverKeys()) {
        known.push_back(Driver{driver, driver + QStringLiteral("\\\\devices\\\\") + prefix, std::nullopt});
    }

    QList<AudioDevice> devices;
    for (const QString &line : textfile::splitLines(file->text)) {
        for (Driver &driver : known) {
            const qsizetype at = line.indexOf(driver.marker);
            if (at < 0) {
                continue;
            }
            QString key = line.mid(at + driver.marker.size());
            const qsizetype close = key.indexOf(u']');
            if (close >= 0) {
                key.truncate(close);
            }
            if (!driver.names) {
                driver.names = drivers.deviceNames(driver.key, capture);
            }
            QString name;
            if (!*driver.names) {
                name = friendlyName(key);
            } else if (const auto shown = (*driver.names)->constFind(key); shown != (*driver.names)->cend()) {
                name = *shown;
            } else {
                // A name VARA would not list is worse than none: a name once written is kept.
                break;
            }
            devices.append(AudioDevice{key, name, key.contains(QStringLiteral("USB")),
                                       key.contains(QStringLiteral("BuiltIn")), isVirtualNetworkDevice(key)});
            break;
        }
    }

    std::stable_sort(devices.begin(), devices.end(), [](const AudioDevice &a, const AudioDevice &b) {
        if (a.isUSB != b.isUSB) {
            return a.isUSB;
        }
        if (a.isVirtualNetwork != b.isVirtualNetwork) {
            return a.isVirtualNetwork;
        }
        if (a.isBuiltIn != b.isBuiltIn) {
            return !a.isBuiltIn;
        }
        return a.displayName < b.displayName;
    });
    return devices;
}

std::optional<VARAConfigManager::AudioDevice> VARAConfigManager::suggestedDevice(AudioDirection direction,
                                                                                  bool preferVirtualNetwork,
                                                                                  const WineDrivers &drivers)
{
    const QList<AudioDevice> devices = availableAudioDevices(direction, drivers);
    const auto first = [&](auto predicate) -> std::optional<AudioDevice> {
        const auto it = std::find_if(devices.cbegin(), devices.cend(), predicate);
        return it == devices.cend() ? std::nullopt : std::optional<AudioDevice>(*it);
    };
    if (preferVirtualNetwork) {
        if (auto device = first([](const AudioDevice &d) { return d.isVirtualNetwork; })) {
            return device;
        }
    }
    if (auto device = first([](const AudioDevice &d) { return d.isUSB; })) {
        return device;
    }
    return first([](const AudioDevice &d) { return !d.isBuiltIn; });
}

} // namespace cordavelle
