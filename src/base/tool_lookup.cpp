#include "tool_lookup.h"

#include "base/binary_architecture_detector.h"
#include "base/helper_places.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/tool_locator.h"

#include <QFileInfo>

#include <functional>

namespace cordavelle::tools {

const QStringList kDirewolfCandidates{
    QStringLiteral("/opt/homebrew/bin/direwolf"),
    QStringLiteral("/opt/local/bin/direwolf"),
    QStringLiteral("/usr/local/bin/direwolf"),
};

const QStringList kBrewCandidates{
    QStringLiteral("/opt/homebrew/bin/brew"),
    QStringLiteral("/usr/local/bin/brew"),
};

bool passesArchitectureCheck(const QString &path)
{
    return !BinaryArchitectureDetector::isRunningOnAppleSilicon() || !BinaryArchitectureDetector::isX86_64Only(path);
}

namespace {

// The helper's own copy when it can run (and `accept`, when given, takes it), else the first
// candidate that can.
std::optional<QString> ownOrFirstExecutable(const QString &own, const QStringList &candidates,
                                            const std::function<bool(const QString &)> &accept = {})
{
    if (ToolLocator::isExecutableFile(own) && (!accept || accept(own))) {
        return own;
    }
    return Platform::current().toolLocator().firstExecutable(candidates, accept);
}

// The named candidates and the system's own folders first, then Homebrew's Linux folders, where
// its installer puts brew and everything brew installs.
std::optional<QString> firstWithHomebrewOnLinux(const QStringList &namedPaths, const QString &fileName,
                                               const std::function<bool(const QString &)> &accept = {})
{
    const ToolLocator &locator = Platform::current().toolLocator();
    if (auto found = locator.firstExecutable(namedPaths, accept)) {
        return found;
    }
    for (const QString &folder : homebrewOnLinuxFolders()) {
        const QString path = folder + QLatin1Char('/') + fileName;
        if (ToolLocator::isExecutableFile(path) && (!accept || accept(path))) {
            return path;
        }
    }
    return std::nullopt;
}

} // namespace

QStringList homebrewOnLinuxFolders()
{
    return {Platform::current().toolLocator().hostPath(QStringLiteral("/home/linuxbrew/.linuxbrew/bin")),
            Platform::current().paths().home() + QStringLiteral("/.linuxbrew/bin")};
}

namespace {

const QStringList kWineCandidates{QStringLiteral("/opt/homebrew/bin/wine64"), QStringLiteral("/opt/homebrew/bin/wine"),
                                  QStringLiteral("/usr/local/bin/wine64"), QStringLiteral("/usr/local/bin/wine")};

bool isFolder(const QString &path) { return QFileInfo(path).isDir(); }

} // namespace

bool isDebianWine()
{
    return ToolLocator::isExecutableFile(Platform::current().toolLocator().hostPath(QStringLiteral("/usr/lib/wine/wine64")));
}

bool wineRuns32Bit(const QString &path)
{
    const ToolLocator &locator = Platform::current().toolLocator();
    if (isDebianWine() && locator.systemFolders().contains(QFileInfo(path).absolutePath())) {
        return ToolLocator::isExecutableFile(locator.hostPath(QStringLiteral("/usr/lib/wine/wine")));
    }
    // A link into a build's tree ("/usr/local/bin/wine" to "/opt/wine-stable/bin/wine") is judged
    // by that tree.
    const QString resolved = QFileInfo(path).canonicalFilePath();
    const QString tree = QFileInfo(resolved.isEmpty() ? path : resolved).absolutePath() + QStringLiteral("/..");
    bool knownLayout = false;
    for (const QString &libraries : {QStringLiteral("/lib/wine"), QStringLiteral("/lib64/wine")}) {
        if (isFolder(tree + libraries + QStringLiteral("/i386-windows"))) {
            return true;
        }
        knownLayout = knownLayout || isFolder(tree + libraries + QStringLiteral("/x86_64-windows"));
    }
    return !knownLayout;
}

std::optional<QString> findWine()
{
    // The helper's own is a WoW64 build.
    return ownOrFirstExecutable(places::ownWineBinary(), kWineCandidates,
                                [](const QString &path) { return path == places::ownWineBinary() || wineRuns32Bit(path); });
}

std::optional<QString> findWineWithout32Bit()
{
    return Platform::current().toolLocator().firstExecutable(kWineCandidates,
                                                            [](const QString &path) { return !wineRuns32Bit(path); });
}

std::optional<QString> findWinetricks()
{
    return ownOrFirstExecutable(places::ownWinetricks(), {QStringLiteral("/opt/homebrew/bin/winetricks"),
                                                          QStringLiteral("/usr/local/bin/winetricks")});
}

std::optional<QString> findWineserver()
{
    return ownOrFirstExecutable(places::ownWineserver(), {QStringLiteral("/opt/homebrew/bin/wineserver"),
                                                          QStringLiteral("/usr/local/bin/wineserver")});
}

std::optional<QString> findRigctld()
{
    const QString own = places::ownRigctld();
    if (ToolLocator::isExecutableFile(own) && passesArchitectureCheck(own)) {
        return own;
    }
    return firstWithHomebrewOnLinux({QStringLiteral("/opt/homebrew/bin/rigctld"), QStringLiteral("/opt/local/bin/rigctld"),
                                     QStringLiteral("/usr/local/bin/rigctld")},
                                    QStringLiteral("rigctld"), passesArchitectureCheck);
}

std::optional<DirewolfChoice> resolveDirewolf(const QString &customPath)
{
    if (!customPath.isEmpty()) {
        return DirewolfChoice{customPath, DirewolfSource::custom};
    }
    if (const auto found = findDirewolf()) {
        const QString folder = QFileInfo(*found).absolutePath();
        const bool system = Platform::current().toolLocator().systemFolders().contains(folder);
        return DirewolfChoice{*found, system ? DirewolfSource::system : DirewolfSource::packageManager};
    }
    const QString legacy = places::legacyDirewolfBinary();
    if (ToolLocator::isExecutableFile(legacy) && passesArchitectureCheck(legacy)) {
        return DirewolfChoice{legacy, DirewolfSource::legacy};
    }
    return std::nullopt;
}

std::optional<QString> findDirewolf()
{
    return firstWithHomebrewOnLinux(kDirewolfCandidates, QStringLiteral("direwolf"), passesArchitectureCheck);
}

std::optional<QString> findBrew() { return firstWithHomebrewOnLinux(kBrewCandidates, QStringLiteral("brew")); }

std::optional<QString> findAptGet()
{
    return Platform::current().toolLocator().firstExecutable({QStringLiteral("/usr/bin/apt-get")});
}

} // namespace cordavelle::tools

namespace cordavelle::tools {

QString withAptAdvice(const QString &failure, const QString &package)
{
    // Once is enough where the failure gives the command already.
    if (!findAptGet() || failure.contains(QStringLiteral("sudo apt install ") + package)) {
        return failure;
    }
    return failure + (failure.endsWith(QLatin1Char('.')) ? QStringLiteral(" ") : QStringLiteral(". ")) +
           QStringLiteral("Or install Debian's package: sudo apt install ") + package;
}

std::optional<QString> findSystemCabextract()
{
    return Platform::current().toolLocator().firstExecutable({QStringLiteral("/usr/bin/cabextract")});
}

} // namespace cordavelle::tools
