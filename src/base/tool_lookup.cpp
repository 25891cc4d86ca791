#include "tool_lookup.h"

#include "base/binary_architecture_detector.h"
#include "base/helper_places.h"
#include "platform/paths.h"
#include "platform/platform.h"
#include "platform/tool_locator.h"

#include <QFileInfo>

#include <algorithm>
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
ProgramSearch ownOrFirstExecutable(const QString &own, const QStringList &candidates,
                                   const std::function<bool(const QString &)> &accept = {})
{
    ProgramSearch search;
    if (search.consider(own, accept)) {
        return search;
    }
    ProgramSearch rest = Platform::current().toolLocator().search(candidates, accept);
    rest.passedOver = search.passedOver ? search.passedOver : rest.passedOver;
    return rest;
}

// The named candidates and the system's own folders first, then Homebrew's Linux folders, where
// its installer puts brew and everything brew installs.
ProgramSearch firstWithHomebrewOnLinux(const QStringList &namedPaths, const QString &fileName,
                                       const std::function<bool(const QString &)> &accept = {})
{
    ProgramSearch search = Platform::current().toolLocator().search(namedPaths, accept);
    if (search.found) {
        return search;
    }
    for (const QString &folder : homebrewOnLinuxFolders()) {
        if (search.consider(folder + QLatin1Char('/') + fileName, accept)) {
            break;
        }
    }
    return search;
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
    // A link is judged by where it leads, wherever it lies: "/usr/local/bin/wine" to a build's tree
    // "/opt/wine-stable/bin/wine" by that tree, and "/usr/bin/wine" that an alternative points at
    // such a tree by that tree rather than by Debian's packaging.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    const QString folder = QFileInfo(canonical.isEmpty() ? path : canonical).absolutePath();
    const ToolLocator &locator = Platform::current().toolLocator();
    const QStringList systemFolders = locator.systemFolders();
    const bool inSystemFolder = std::any_of(systemFolders.cbegin(), systemFolders.cend(), [&folder](const QString &system) {
        return system == folder || QFileInfo(system).canonicalFilePath() == folder;
    });
    if (isDebianWine() && inSystemFolder) {
        return ToolLocator::isExecutableFile(locator.hostPath(QStringLiteral("/usr/lib/wine/wine")));
    }
    const QString tree = folder + QStringLiteral("/..");
    bool knownLayout = false;
    for (const QString &libraries : {QStringLiteral("/lib/wine"), QStringLiteral("/lib64/wine")}) {
        if (isFolder(tree + libraries + QStringLiteral("/i386-windows"))) {
            return true;
        }
        knownLayout = knownLayout || isFolder(tree + libraries + QStringLiteral("/x86_64-windows"));
    }
    return !knownLayout;
}

ProgramSearch lookUpWine()
{
    // The helper's own is a WoW64 build.
    return ownOrFirstExecutable(places::ownWineBinary(), kWineCandidates,
                                [](const QString &path) { return path == places::ownWineBinary() || wineRuns32Bit(path); });
}

std::optional<QString> findWine() { return lookUpWine().found; }

HelperError noWineError()
{
    if (const std::optional<PassedOver> passedOver = lookUpWine().passedOver) {
        return HelperError::wineNotFound(*passedOver);
    }
    return HelperError::wineNotFound(findWineWithout32Bit().value_or(QString()));
}

std::optional<QString> findWineWithout32Bit()
{
    return Platform::current().toolLocator().firstExecutable(kWineCandidates,
                                                            [](const QString &path) { return !wineRuns32Bit(path); });
}

ProgramSearch lookUpWinetricks()
{
    return ownOrFirstExecutable(places::ownWinetricks(), {QStringLiteral("/opt/homebrew/bin/winetricks"),
                                                          QStringLiteral("/usr/local/bin/winetricks")});
}

std::optional<QString> findWinetricks() { return lookUpWinetricks().found; }

std::optional<QString> findWineserver()
{
    return ownOrFirstExecutable(places::ownWineserver(), {QStringLiteral("/opt/homebrew/bin/wineserver"),
                                                          QStringLiteral("/usr/local/bin/wineserver")})
        .found;
}

ProgramSearch lookUpRigctld()
{
    ProgramSearch own;
    if (own.consider(places::ownRigctld(), passesArchitectureCheck)) {
        return own;
    }
    ProgramSearch rest = firstWithHomebrewOnLinux({QStringLiteral("/opt/homebrew/bin/rigctld"),
                                                   QStringLiteral("/opt/local/bin/rigctld"),
                                                   QStringLiteral("/usr/local/bin/rigctld")},
                                                  QStringLiteral("rigctld"), passesArchitectureCheck);
    rest.passedOver = own.passedOver ? own.passedOver : rest.passedOver;
    return rest;
}

std::optional<QString> findRigctld() { return lookUpRigctld().found; }

DirewolfLookup lookUpDirewolf(const QString &customPath)
{
    if (!customPath.isEmpty()) {
        return {DirewolfChoice{customPath, DirewolfSource::custom}, std::nullopt};
    }
    ProgramSearch search = firstWithHomebrewOnLinux(kDirewolfCandidates, QStringLiteral("direwolf"), passesArchitectureCheck);
    if (search.found) {
        const QString folder = QFileInfo(*search.found).absolutePath();
        const bool system = Platform::current().toolLocator().systemFolders().contains(folder);
        return {DirewolfChoice{*search.found, system ? DirewolfSource::system : DirewolfSource::packageManager},
                search.passedOver};
    }
    if (search.consider(places::legacyDirewolfBinary(), passesArchitectureCheck)) {
        return {DirewolfChoice{*search.found, DirewolfSource::legacy}, search.passedOver};
    }
    return {std::nullopt, search.passedOver};
}

std::optional<DirewolfChoice> resolveDirewolf(const QString &customPath) { return lookUpDirewolf(customPath).choice; }

std::optional<QString> findDirewolf()
{
    return firstWithHomebrewOnLinux(kDirewolfCandidates, QStringLiteral("direwolf"), passesArchitectureCheck).found;
}

std::optional<QString> findBrew() { return firstWithHomebrewOnLinux(kBrewCandidates, QStringLiteral("brew")).found; }

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
