#include "install/wine_without_32bit.h"

#include "base/tool_lookup.h"

namespace cordavelle {

std::optional<WineWithout32Bit> wineWithout32Bit()
{
    if (tools::findWine()) {
        return std::nullopt;
    }
    const std::optional<QString> found = tools::findWineWithout32Bit();
    if (!found) {
        return std::nullopt;
    }
    return WineWithout32Bit{*found, tools::isDebianWine() && tools::findAptGet().has_value()};
}

const QString kWine32Command =
    QStringLiteral("sudo dpkg --add-architecture i386 && sudo apt update && sudo apt install wine32:i386");

WineWithout32BitAdvice adviceFor(const WineWithout32Bit &wine)
{
    const QString problem = QStringLiteral("The Wine at %1 cannot run 32-bit programs, and VARA is one. ").arg(wine.path);
    if (wine.debian) {
        return {problem + QStringLiteral("Install the Helper's own Wine, which needs no 32-bit system libraries, or "
                                         "add Debian's 32-bit Wine:"),
                kWine32Command};
    }
    return {problem + QStringLiteral("Install the Helper's own Wine, which needs no 32-bit system libraries."), {}};
}

} // namespace cordavelle
