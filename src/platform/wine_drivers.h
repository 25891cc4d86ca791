#pragma once

#include <QStringList>

namespace cordavelle {

// What the platform's Wine records about audio devices. Each of Wine's audio drivers keeps the
// devices it has met in the prefix's "user.reg" under its own key ("<driver>\\devices\\"); which
// drivers a Wine build uses depends on the system it runs on.
class WineDrivers {
public:
    virtual ~WineDrivers() = default;
    // The driver key names to look for, in order.
    virtual QStringList audioDriverKeys() const = 0;
};

// Wine on Linux records devices through PulseAudio or ALSA; a prefix made by a macOS Wine build
// (or copied from a Mac) carries the Core Audio driver's keys, so all three are searched.
class LinuxWineDrivers final : public WineDrivers {
public:
    QStringList audioDriverKeys() const override;
};

} // namespace cordavelle
