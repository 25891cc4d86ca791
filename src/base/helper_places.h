#pragma once

#include "base/service_model.h"

#include <QString>
#include <QStringList>

// Every folder and file the helper keeps of its own, in one place. Each is read from the
// platform in force when asked, so tests that set their own paths see them at once.
namespace cordavelle::places {

// The name of the helper's own folder inside the platform's application-support folder.
inline const QString kSupportFolderName = QStringLiteral("Cordavelle Helper");

// Inside the helper's own Wine folder, the standalone Linux build's executables.
inline const QString kWineBinaryRelativePath = QStringLiteral("bin/wine");
inline const QString kWineserverRelativePath = QStringLiteral("bin/wineserver");

// The user's home folder, as the platform in force names it.
QString homeFolder();
// The platform's private temporary folder, where downloads and scratch folders go; throws
// FileError, naming the places tried, when no folder of this user's own can be had.
QString privateTemporaryFolder();
// Every folder of this user's own where this run or an earlier one may have left scratch files.
QStringList ownScratchFolders();

// The helper's private folder (0700) in which winetricks finds the staged cabextract: the
// "winetricks-tools" folder of the platform's private temporary folder. Naming it makes the
// private temporary folder, never this one; throws FileError when that can't be made private.
QString winetricksToolsFolder();

// The helper's support folder inside the platform's application-support folder (or
// ~/.local/share when the platform names none); made, with its parents, the first time each
// location is asked for.
QString supportFolder();

// The one Wine prefix of both VARA modems: the support folder's "wine-prefix".
QString winePrefix();
// The modem's folder in the prefix: "drive_c/VARA" or "drive_c/VARA FM".
QString varaFolder(VARAVariant variant);
// "VARA.exe" or "VARAFM.exe" in the modem's folder.
QString varaExecutable(VARAVariant variant);
// "VARA.ini" or "VARAFM.ini" in the modem's folder.
QString varaIniFile(VARAVariant variant);

// The helper's own Wine folder: the support folder's "wine".
QString wineFolder();
// The helper's own Wine executable and wine server inside wineFolder().
QString ownWineBinary();
QString ownWineserver();

// The helper's own tools for the Wine prefix set-up: the support folder's "tools".
QString toolsFolder();
// "cabextract" in toolsFolder().
QString ownCabextract();
// The helper's own winetricks script: the support folder's "winetricks".
QString ownWinetricks();

// The helper's own Hamlib folder: the support folder's "hamlib".
QString hamlibFolder();
// "bin/rigctld" inside hamlibFolder(): the first candidate of every rigctld look-up.
QString ownRigctld();

// The folder of the Direwolf that earlier helpers built themselves: the support folder's "direwolf".
QString legacyDirewolfFolder();
// That old build's binary.
QString legacyDirewolfBinary();
// The direwolf.conf Direwolf is started with, in the support folder.
QString direwolfConfigFile();
// The folder Direwolf runs in, its configuration file's: the one its script's relative paths
// are taken from.
QString direwolfRunFolder();
// Where earlier versions kept it, in the old Direwolf folder.
QString legacyDirewolfConfigFile();

} // namespace cordavelle::places
