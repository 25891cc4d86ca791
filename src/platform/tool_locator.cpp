#include "tool_locator.h"

#include "program_file.h"

#include <QFileInfo>

namespace cordavelle {

QStringList ToolLocator::candidates(const QStringList &namedPaths) const
{
    QStringList out;
    QStringList names;
    for (const QString &named : namedPaths) {
        out << hostPath(named);
        const QString name = QFileInfo(named).fileName();
        if (!name.isEmpty() && !names.contains(name)) {
            names << name;
        }
    }
    for (const QString &folder : systemFolders()) {
        for (const QString &name : names) {
            const QString path = folder + QLatin1Char('/') + name;
            if (!out.contains(path)) {
                out << path;
            }
        }
    }
    return out;
}

ProgramSearch ToolLocator::search(const QStringList &namedPaths, const std::function<bool(const QString &)> &accept) const
{
    ProgramSearch search;
    for (const QString &path : candidates(namedPaths)) {
        if (search.consider(path, accept)) {
            break;
        }
    }
    return search;
}

std::optional<QString> ToolLocator::firstExecutable(const QStringList &namedPaths,
                                                    const std::function<bool(const QString &)> &accept) const
{
    return search(namedPaths, accept).found;
}

QString ToolLocator::resolve(const QString &namedPath) const
{
    const QString host = hostPath(namedPath);
    const QString name = QFileInfo(namedPath).fileName();
    QStringList paths{host};
    for (const QString &folder : systemFolders()) {
        paths << folder + QLatin1Char('/') + name;
    }
    std::optional<QString> passedOver;
    for (const QString &path : paths) {
        if (!QFileInfo::exists(path)) {
            continue;
        }
        if (inspectProgramFile(path).changeable) {
            passedOver = passedOver.value_or(path);
            continue;
        }
        return path;
    }
    return passedOver.value_or(host);
}

bool ToolLocator::isExecutableFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

QStringList SystemToolLocator::systemFolders() const
{
    return {QStringLiteral("/usr/bin"), QStringLiteral("/bin")};
}

RootedToolLocator::RootedToolLocator(QString root) : m_root(std::move(root)) {}

QString RootedToolLocator::hostPath(const QString &namedPath) const
{
    // A path found by an earlier look-up already lies below the root.
    if (!namedPath.startsWith(QLatin1Char('/')) || namedPath.startsWith(m_root + QLatin1Char('/'))) {
        return namedPath;
    }
    return m_root + namedPath;
}

QStringList RootedToolLocator::systemFolders() const
{
    return {m_root + QStringLiteral("/usr/bin"), m_root + QStringLiteral("/bin")};
}

} // namespace cordavelle
