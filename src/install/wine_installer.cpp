#include "wine_installer.h"

#include "core/config_store.h"
#include "platform/platform.h"

namespace cordavelle {

QString WineInstaller::wineDir() { return ConfigStore::appSupportDir() + QStringLiteral("/wine"); }

QString WineInstaller::wineBinaryPath() { return wineDir() + QLatin1Char('/') + kWineBinaryRelativePath; }

QString WineInstaller::wineserverPath() { return wineDir() + QLatin1Char('/') + kWineserverRelativePath; }

std::optional<QString> WineInstaller::findWine()
{
    const QString own = wineBinaryPath();
    if (ToolLocator::isExecutableFile(own)) {
        return own;
    }
    return Platform::current().toolLocator().firstExecutable(
        {QStringLiteral("/opt/homebrew/bin/wine64"), QStringLiteral("/opt/homebrew/bin/wine"),
         QStringLiteral("/usr/local/bin/wine64"), QStringLiteral("/usr/local/bin/wine")});
}

} // namespace cordavelle
