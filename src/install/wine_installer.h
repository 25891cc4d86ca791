#pragma once

#include <QString>

#include <optional>

namespace cordavelle {

// The Wine that VARA HF and VARA FM run under: where the helper installs its own, and which Wine
// of the machine it uses.
class WineInstaller {
public:
    // Inside the helper's own Wine folder, the Wine build's executable.
    static inline const QString kWineBinaryRelativePath =
        QStringLiteral("Wine Stable.app/Contents/Resources/wine/bin/wine");
    static inline const QString kWineserverRelativePath =
        QStringLiteral("Wine Stable.app/Contents/Resources/wine/bin/wineserver");

    // The helper's own Wine folder: the support folder + "wine".
    static QString wineDir();
    // The helper's own Wine executable inside wineDir().
    static QString wineBinaryPath();
    // The helper's own wine server, the first one the orphan reaper tries.
    static QString wineserverPath();

    // The first executable Wine: the helper's own, then "/opt/homebrew/bin/wine64",
    // "/opt/homebrew/bin/wine", "/usr/local/bin/wine64", "/usr/local/bin/wine", then the
    // machine's own folders; none when there is no Wine.
    static std::optional<QString> findWine();
};

} // namespace cordavelle
