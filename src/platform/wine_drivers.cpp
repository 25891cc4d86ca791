#include "wine_drivers.h"

namespace cordavelle {

QStringList LinuxWineDrivers::audioDriverKeys() const
{
    return {QStringLiteral("winecoreaudio.drv"), QStringLiteral("winepulse.drv"), QStringLiteral("winealsa.drv")};
}

} // namespace cordavelle
