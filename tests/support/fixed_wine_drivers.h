#pragma once

#include "platform/wine_drivers.h"

namespace cordavelle::test {

// Stands for a Wine build whose audio drivers the test chooses, e.g. only "winecoreaudio.drv"
// for the prefix of a macOS Wine, whose device keys are named by the shared rules unless the
// test gives the names programs are shown.
class FixedWineDrivers final : public WineDrivers {
public:
    explicit FixedWineDrivers(QStringList keys, std::optional<QHash<QString, QString>> names = std::nullopt)
        : keys(std::move(keys)), names(std::move(names))
    {
    }
    QStringList audioDriverKeys() const override { return keys; }
    std::optional<QHash<QString, QString>> deviceNames(const QString &, bool) const override { return names; }
    QStringList keys;
    std::optional<QHash<QString, QString>> names;
};

} // namespace cordavelle::test
