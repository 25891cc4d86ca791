#include "program_search.h"

#include "program_file.h"
#include "tool_locator.h"

#include <QDir>

namespace cordavelle {

bool ProgramSearch::consider(const QString &path, const std::function<bool(const QString &)> &accept)
{
    if (!ToolLocator::isExecutableFile(path) || (accept && !accept(path))) {
        return false;
    }
    const ProgramFile file = inspectProgramFile(path);
    if (file.changeable) {
        if (!passedOver) {
            passedOver = PassedOver{path, *file.changeable};
        }
        return false;
    }
    if (file.unusable) {
        return false;
    }
    found = path;
    return true;
}

QString passedOverText(const QString &program, const PassedOver &passedOver)
{
    return QStringLiteral("%1 at %2 was passed over: it can be changed by another user (%3)")
        .arg(program, passedOver.path, passedOver.part);
}

ProgramSearch searchPathFor(const QString &name, const QStringList &searchPath)
{
    QStringList folders = searchPath;
    if (folders.isEmpty()) {
        // What the C library's execvp searches when PATH is not set.
        const QString path = qEnvironmentVariable("PATH", QStringLiteral("/bin:/usr/bin"));
        folders = path.split(QLatin1Char(':'), Qt::SkipEmptyParts);
    }
    ProgramSearch search;
    for (const QString &folder : folders) {
        // A relative folder would name a different program in every working folder.
        if (!QDir::isAbsolutePath(folder)) {
            continue;
        }
        if (search.consider(QDir(folder).filePath(name))) {
            break;
        }
    }
    return search;
}

ProgramSearch findProgram(const QString &program)
{
    if (!program.contains(QLatin1Char('/'))) {
        return searchPathFor(program);
    }
    ProgramSearch search;
    search.consider(program);
    return search;
}

} // namespace cordavelle
