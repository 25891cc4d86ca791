#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace cordavelle {

// What the platform's Wine records about audio devices. Each of Wine's audio drivers keeps the
// devices it has met in the prefix's "user.reg" under its own key ("<driver>\\devices\\"); which
// drivers a Wine build uses depends on the system it runs on.
class WineDrivers {
public:
    virtual ~WineDrivers() = default;
    // The driver key names to look for, in order.
    virtual QStringList audioDriverKeys() const = 0;
    // The names that programs under Wine are shown for the devices `driver` records (capture
    // devices when `capture`, else playback devices), by device key. Absent when the keys are the
    // Mac's Core Audio device identities, which the shared naming rules turn into names. A device
    // whose key the map lacks has no name that can be known.
    virtual std::optional<QHash<QString, QString>> deviceNames(const QString &driver, bool capture) const = 0;
};

// Wine on Linux records the sound server's node names ("alsa_input.usb-…") through its PulseAudio
// driver and shows programs each node's description instead, so the names come from the sound
// server (`pactl`). Devices of Wine's ALSA driver, and Core Audio keys of a prefix made on a Mac,
// name nothing that a program under this Wine can open, so they are not read.
class LinuxWineDrivers final : public WineDrivers {
public:
    QStringList audioDriverKeys() const override;
    std::optional<QHash<QString, QString>> deviceNames(const QString &driver, bool capture) const override;
};

} // namespace cordavelle
