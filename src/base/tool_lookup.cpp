#include "tool_lookup.h"

#include "base/binary_architecture_detector.h"
#include "base/helper_places.h"
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

} // namespace

std::optional<QString> findWine()
{
    return ownOrFirstExecutable(places::ownWineBinary(),
                                {QStringLiteral("/opt/homebrew/bin/wine64"), QStringLiteral("/opt/homebrew/bin/wine"),
                                 QStringLiteral("/usr/local/bin/wine64"), QStringLiteral("/usr/local/bin/wine")});
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
    return ownOrFirstExecutable(places::ownRigctld(),
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
