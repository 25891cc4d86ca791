#include "helper_places.h"

#include "base/helper_logger.h"
#include "platform/files.h"
#include "platform/platform.h"

#include <cerrno>
#include <mutex>
#include <system_error>

namespace cordavelle::places {

namespace {

const QString kDirewolfConfigName = QStringLiteral("direwolf.conf");

} // namespace

QString supportFolder()
{
    QString base = Platform::current().paths().applicationSupport();
    if (base.isEmpty()) {
        base = Platform::current().paths().home() + QStringLiteral("/.local/share");
    }
    const QString dir = base + QLatin1Char('/') + kSupportFolderName;

    // Made once per location, like the folder of a process that never moves: a folder removed
    // later (by a reset) is not brought back just by asking where it is.
    static std::mutex mutex;
    static QString made;
    std::lock_guard lock(mutex);
    if (dir != made) {
        made = dir;
        std::error_code error;
        if (!makeFolders(dir)) {
            error = std::error_code(errno, std::generic_category());
        }
        // It holds the programs the helper runs and, without a Secret Service, its secrets.
        if (!error && !restrictToOwner(dir)) {
            error = std::error_code(errno, std::generic_category());
        }
        if (error) {
            HelperLogger::error(QStringLiteral("[ConfigStore] Could not create app support directory: "
                                               "The folder \u201C%1\u201D could not be made (%2).")
                                    .arg(dir, QString::fromStdString(error.message())),
                                HelperLogger::Category::general);
        }
    }
    return dir;
}

QString homeFolder() { return Platform::current().paths().home(); }

QString privateTemporaryFolder() { return Platform::current().paths().privateTemporary(); }

QStringList ownScratchFolders() { return Platform::current().paths().ownScratchFolders(); }

QString winetricksToolsFolder() { return privateTemporaryFolder() + QStringLiteral("/winetricks-tools"); }

QString winePrefix() { return supportFolder() + QStringLiteral("/wine-prefix"); }

QString varaFolder(VARAVariant variant) { return winePrefix() + QStringLiteral("/drive_c/") + installDirName(variant); }

QString varaExecutable(VARAVariant variant) { return varaFolder(variant) + QLatin1Char('/') + exeName(variant); }

QString varaIniFile(VARAVariant variant)
{
    return varaFolder(variant) + (variant == VARAVariant::hf ? QStringLiteral("/VARA.ini") : QStringLiteral("/VARAFM.ini"));
}

QString wineFolder() { return supportFolder() + QStringLiteral("/wine"); }

QString ownWineBinary() { return wineFolder() + QLatin1Char('/') + kWineBinaryRelativePath; }

QString ownWineserver() { return wineFolder() + QLatin1Char('/') + kWineserverRelativePath; }

QString toolsFolder() { return supportFolder() + QStringLiteral("/tools"); }

QString ownCabextract() { return toolsFolder() + QStringLiteral("/cabextract"); }

QString ownWinetricks() { return supportFolder() + QStringLiteral("/winetricks"); }

QString hamlibFolder() { return supportFolder() + QStringLiteral("/hamlib"); }

QString ownRigctld() { return hamlibFolder() + QStringLiteral("/bin/rigctld"); }

QString legacyDirewolfFolder() { return supportFolder() + QStringLiteral("/direwolf"); }

QString legacyDirewolfBinary() { return legacyDirewolfFolder() + QStringLiteral("/bin/direwolf"); }

QString direwolfConfigFile() { return supportFolder() + QLatin1Char('/') + kDirewolfConfigName; }

QString direwolfRunFolder() { return folderOf(direwolfConfigFile()); }

QString legacyDirewolfConfigFile() { return legacyDirewolfFolder() + QLatin1Char('/') + kDirewolfConfigName; }

} // namespace cordavelle::places
