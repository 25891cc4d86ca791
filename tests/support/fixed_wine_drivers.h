#pragma once

#include "platform/wine_drivers.h"

namespace cordavelle::test {

// Stands for a Wine build whose audio drivers the test chooses, e.g. only "winecoreaudio.drv"
// for the prefix of a macOS Wine.
class FixedWineDrivers final : public WineDrivers {
public:
    explicit FixedWineDrivers(QStringList keys) : keys(std::move(keys)) {}
    QStringList audioDriverKeys() const override { return keys; }
    QStringList keys;
};

} // namespace cordavelle::test
