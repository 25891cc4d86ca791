#include "tool_lookup.h"

#include "base/binary_architecture_detector.h"
#include "base/helper_places.h"
#include "platform/platform.h"
#include "platform/tool_locator.h"

#include <QFileInfo>

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

std::optional<QString> findWine()
{
    const QString own = places::ownWineBinary();
    if (ToolLocator::isExecutableFile(own)) {
        return own;
    }
    return Platform::current().toolLocator().firstExecutable(
        {QStringLiteral("/opt/homebrew/bin/wine64"), QStringLiteral("/opt/homebrew/bin/wine"),
         QStringLiteral("/usr/local/bin/wine64"), QStringLiteral("/usr/local/bin/wine")});
}

std::optional<QString> findWinetricks()
{
    const QString own = places::ownWinetricks();
    if (ToolLocator::isExecutableFile(own)) {
        return own;
    }
    return Platform::current().toolLocator().firstExecutable(
        {QStringLiteral("/opt/homebrew/bin/winetricks"), QStringLiteral("/usr/local/bin/winetricks")});
}

std::optional<QString> findWineserver()
{
    const QString own = places::ownWineserver();
    if (ToolLocator::isExecutableFile(own)) {
        return own;
    }
    return Platform::current().toolLocator().firstExecutable(
        {QStringLiteral("/opt/homebrew/bin/wineserver"), QStringLiteral("/usr/local/bin/wineserver")});
}

std::optional<QString> findRigctld()
{
    const QString own = places::ownRigctld();
    if (ToolLocator::isExecutableFile(own) && passesArchitectureCheck(own)) {
        return own;
    }
    return Platform::current().toolLocator().firstExecutable(
        {QStringLiteral("/opt/homebrew/bin/rigctld"), QStringLiteral("/opt/local/bin/rigctld"),
         QStringLiteral("/usr/local/bin/rigctld")},
        passesArchitectureCheck);
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
    return Platform::current().toolLocator().firstExecutable(kDirewolfCandidates, passesArchitectureCheck);
}

std::optional<QString> findBrew() { return Platform::current().toolLocator().firstExecutable(kBrewCandidates); }

std::optional<QString> findAptGet()
{
    return Platform::current().toolLocator().firstExecutable({QStringLiteral("/usr/bin/apt-get")});
}

} // namespace cordavelle::tools
