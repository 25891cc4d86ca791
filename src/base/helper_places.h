#pragma once

#include <QString>

namespace cordavelle::places {

// The name of the helper's own folder inside the platform's application-support folder.
inline const QString kSupportFolderName = QStringLiteral("Cordavelle Helper");

// The helper's support folder inside the platform's application-support folder (or
// ~/.local/share when the platform names none); made, with its parents, the first time each
// location is asked for.
QString supportFolder();
// The one Wine prefix of both VARA modems: the support folder's "wine-prefix".
QString winePrefix();

} // namespace cordavelle::places
