#include "program_file.h"

#include "entry_writers.h"
#include "platform.h"
#include "system_error_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

// As the kernel allows when it follows links itself.
constexpr int kMaxLinks = 40;

bool ownedBySafeUser(const struct stat &st) { return st.st_uid == 0 || st.st_uid == ::geteuid(); }


bool isWindowsPath(const QString &path)
{
    return path.size() >= 3 && path[0].isLetter() && path[0].unicode() < 128 && path[1] == QLatin1Char(':') &&
           (path[2] == QLatin1Char('\\') || path[2] == QLatin1Char('/'));
}

QString childPath(const QString &folder, const QString &name)
{
    return folder == QLatin1String("/") ? folder + name : folder + QLatin1Char('/') + name;
}

class Walk {
public:
    // Where a walk may end: at a file, or at a folder in which the user keeps entries of her own.
    enum class End { file, folder };

    Walk(const QString &path, ProgramUse use, End end = End::file) : m_use(use), m_end(end) { m_file.given = path; }

    ProgramFile run(QString start, QStringList names)
    {
        m_file.resolved = m_file.given;
        QStringList pending = start.split(QLatin1Char('/'), Qt::SkipEmptyParts) + names;
        if (!enter(QStringLiteral("/"))) {
            return m_file;
        }
        int links = 0;
        while (!pending.isEmpty()) {
            const QString name = pending.takeFirst();
            if (name == QLatin1String(".")) {
                continue;
            }
            if (name == QLatin1String("..")) {
                // The system looks ".." up in the current folder, which it must be let into; every
                // folder above it was walked through on the way here.
                if (::faccessat(AT_FDCWD, QFile::encodeName(m_folder).constData(), X_OK, AT_EACCESS) != 0) {
                    return unusable(QStringLiteral("%1 can't be inspected: %2").arg(childPath(m_folder, name), systemErrorText(errno)));
                }
                if (!enter(m_folder == QLatin1String("/") ? m_folder : QFileInfo(m_folder).path())) {
                    return m_file;
                }
                continue;
            }
            QString entry = childPath(m_folder, name);
            struct stat st {};
            int error = lookUp(entry, st);
            if (error == ENOENT && m_use == ProgramUse::wine) {
                if (const auto match = sameNameInAnyCase(name)) {
                    entry = childPath(m_folder, *match);
                    error = lookUp(entry, st);
                }
            }
            if (error == ENOENT) {
                // Nobody else may put the missing file there either.
                if (const auto writers = m_writers.of(m_folder, m_folderStat)) {
                    return othersMayChange(QStringLiteral("the folder %1 %2").arg(m_folder, *writers));
                }
                m_file.resolved = (QStringList(entry) + pending).join(QLatin1Char('/'));
                m_missing = true;
                return unusable(QStringLiteral("%1 can't be used: %2").arg(entry, systemErrorText(error)));
            }
            if (error != 0) {
                return unusable(QStringLiteral("%1 can't be inspected: %2").arg(entry, systemErrorText(error)));
            }
            // In a sticky folder only the entry's owner may remove or rename it, and every entry is
            // refused below unless it belongs to root or this user.
            if ((m_folderStat.st_mode & S_ISVTX) == 0) {
                if (const auto writers = m_writers.of(m_folder, m_folderStat)) {
                    return othersMayChange(QStringLiteral("the folder %1 %2").arg(m_folder, *writers));
                }
            }
            if (S_ISLNK(st.st_mode)) {
                if (!ownedBySafeUser(st)) {
                    return othersMayChange(QStringLiteral("the link %1 belongs to another user").arg(entry));
                }
                const std::optional<QString> target = linkTarget(entry);
                if (!target) {
                    return unusable(QStringLiteral("%1 can't be inspected: %2").arg(entry, systemErrorText(errno)));
                }
                if (++links > kMaxLinks) {
                    return unusable(QStringLiteral("%1 can't be resolved: %2").arg(m_file.given, systemErrorText(ELOOP)));
                }
                pending = target->split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
                if (target->startsWith(QLatin1Char('/')) && !enter(QStringLiteral("/"))) {
                    return m_file;
                }
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                if (!ownedBySafeUser(st)) {
                    return othersMayChange(QStringLiteral("the folder %1 belongs to another user").arg(entry));
                }
                m_folder = entry;
                m_folderStat = st;
                if (pending.isEmpty()) {
                    m_file.resolved = entry;
                    if (m_end == End::folder) {
                        return lastFolder();
                    }
                    return unusable(QStringLiteral("%1 is not a regular file").arg(entry));
                }
                continue;
            }
            if (!pending.isEmpty()) {
                return unusable(QStringLiteral("%1 can't be used: %2").arg(entry, systemErrorText(ENOTDIR)));
            }
            if (m_end == End::folder) {
                m_file.resolved = entry;
                return unusable(QStringLiteral("%1 can't be used: %2").arg(entry, systemErrorText(ENOTDIR)));
            }
            m_file.resolved = entry;
            m_file.identity = FileIdentity{st.st_dev, st.st_ino};
            return lastEntry(entry, st);
        }
        if (m_end == End::folder) {
            m_file.resolved = m_folder;
            return lastFolder();
        }
        return m_file;
    }

private:
    // The folder the walk ended at, already known to be root's or this user's: another user who
    // may write it could move the user's entries aside, unless it is sticky.
    ProgramFile lastFolder()
    {
        if ((m_folderStat.st_mode & S_ISVTX) == 0) {
            if (const auto writers = m_writers.of(m_folder, m_folderStat)) {
                return othersMayChange(QStringLiteral("the folder %1 %2").arg(m_folder, *writers));
            }
        }
        return m_file;
    }

    ProgramFile lastEntry(const QString &entry, const struct stat &st)
    {
        if (!ownedBySafeUser(st)) {
            return othersMayChange(QStringLiteral("the file %1 belongs to another user").arg(entry));
        }
        if (const auto writers = m_writers.of(entry, st)) {
            return othersMayChange(QStringLiteral("the file %1 %2").arg(entry, *writers));
        }
        if (!S_ISREG(st.st_mode)) {
            return unusable(QStringLiteral("%1 is not a regular file").arg(entry));
        }
        if (m_use == ProgramUse::run &&
            ::faccessat(AT_FDCWD, QFile::encodeName(entry).constData(), X_OK, AT_EACCESS) != 0) {
            return unusable(QStringLiteral("%1 is not executable").arg(entry));
        }
        return m_file;
    }

    // Makes `folder`, a folder already walked through (or "/"), the one the next name is in.
    bool enter(const QString &folder)
    {
        m_folder = folder;
        if (const int error = lookUp(folder, m_folderStat); error != 0) {
            unusable(QStringLiteral("%1 can't be inspected: %2").arg(folder, systemErrorText(error)));
            return false;
        }
        if (!ownedBySafeUser(m_folderStat)) {
            othersMayChange(QStringLiteral("the folder %1 belongs to another user").arg(folder));
            return false;
        }
        return true;
    }

    static int lookUp(const QString &path, struct stat &st)
    {
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? 0 : errno;
    }

    static std::optional<QString> linkTarget(const QString &link)
    {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(QFile::encodeName(link).constData(), target, sizeof target);
        if (length < 0 || length == sizeof target) {
            if (length >= 0) {
                errno = ENAMETOOLONG;
            }
            return std::nullopt;
        }
        return QFile::decodeName(QByteArray(target, static_cast<qsizetype>(length)));
    }

    // Wine opens a name that is not there as written through any entry that differs only in case.
    std::optional<QString> sameNameInAnyCase(const QString &name) const
    {
        const QStringList entries =
            QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString &entry : entries) {
            if (entry.compare(name, Qt::CaseInsensitive) == 0) {
                return entry;
            }
        }
        return std::nullopt;
    }

    ProgramFile othersMayChange(const QString &part)
    {
        m_file.changeable = part;
        m_file.identity.reset();
        return m_file;
    }

    ProgramFile unusable(const QString &reason)
    {
        m_file.unusable = reason;
        m_file.identity.reset();
        return m_file;
    }

public:
    // The walk stopped at a name that is not there, in a folder where nobody else may put it.
    bool missing() const { return m_missing; }

private:
    ProgramUse m_use;
    End m_end;
    ProgramFile m_file;
    bool m_missing = false;
    QString m_folder;
    struct stat m_folderStat {};
    EntryWriters m_writers{Platform::current().accounts()};
};

// The system runs a script's interpreter, and that one's in turn, this many deep at the most.
constexpr int kMaxInterpreters = 4;

QStringList searchFolders(const QStringList &searchPath)
{
    if (!searchPath.isEmpty()) {
        return searchPath;
    }
    // What the C library searches when PATH is not set.
    return qEnvironmentVariable("PATH", QStringLiteral("/bin:/usr/bin")).split(QLatin1Char(':'));
}

// Where the system takes `path`, named on a script's line, from: a relative one from the folder
// the child runs in, left as it reads so that the walk takes each ".." where the system does,
// from wherever a link led. Nothing when that folder is not known.
std::optional<QString> fromWorkingFolder(const QString &path, const QString &workingFolder)
{
    if (path.startsWith(QLatin1Char('/'))) {
        return path;
    }
    if (workingFolder.isEmpty()) {
        return std::nullopt;
    }
    return workingFolder + QLatin1Char('/') + path;
}

QString unknownFolderText(const QString &script, const QString &named)
{
    return QStringLiteral("%1 runs %2, which is taken from the folder the program runs in, and that folder is not "
                          "known here")
        .arg(script, named);
}

ProgramFile inspectRun(const QString &path, const QStringList &searchPath, const QString &workingFolder, int depth);

// Makes what `runner`, a program the script `file` has run, came to part of the script's verdict;
// false when it takes the script's use away.
bool ranBy(ProgramFile &file, const QString &named, const ProgramFile &runner)
{
    if (runner.changeable) {
        file.changeable = QStringLiteral("the script %1 runs %2, which can be changed by another user (%3)")
                              .arg(file.resolved, named, *runner.changeable);
    } else if (runner.unusable) {
        file.unusable = QStringLiteral("%1 runs %2, which can't be used (%3)").arg(file.resolved, named, *runner.unusable);
    }
    return !runner.changeable && !runner.unusable;
}

// Looks at what the system would run the file with: the program on its "#!" line, and the
// program env would run when that is env.
void inspectInterpreter(ProgramFile &file, const QStringList &searchPath, const QString &workingFolder, int depth)
{
    const ScriptRead read = readScriptLine(file.resolved, *file.identity);
    if (read.changed) {
        file.unusable = QStringLiteral("%1 was replaced while it was looked at").arg(file.resolved);
        return;
    }
    if (read.unreadable) {
        file.unusable = QStringLiteral("%1 can't be read, so what runs it can't be checked (%2)")
                            .arg(file.resolved, systemErrorText(*read.unreadable));
        return;
    }
    if (!read.line) {
        return;
    }
    file.script = true;
    const ScriptLine &line = *read.line;
    if (line.interpreter.isEmpty()) {
        file.unusable = QStringLiteral("%1 names no program on its first line").arg(file.resolved);
        return;
    }
    if (depth >= kMaxInterpreters) {
        file.unusable = QStringLiteral("%1 can't be run: %2").arg(file.resolved, systemErrorText(ELOOP));
        return;
    }
    const std::optional<QString> interpreterPath = fromWorkingFolder(line.interpreter, workingFolder);
    if (!interpreterPath) {
        file.unusable = unknownFolderText(file.resolved, line.interpreter);
        return;
    }
    const ProgramFile interpreter = inspectRun(*interpreterPath, searchPath, workingFolder, depth + 1);
    if (!ranBy(file, line.interpreter, interpreter) ||
        (QFileInfo(line.interpreter).fileName() != QLatin1String("env") &&
         QFileInfo(interpreter.resolved).fileName() != QLatin1String("env"))) {
        return;
    }
    const std::optional<QString> name = envProgram(line.argument);
    if (!name) {
        file.unusable = QStringLiteral("%1 gives env options that leave open which program it runs").arg(file.resolved);
        return;
    }
    if (name->isEmpty()) {
        return;
    }
    if (name->contains(QLatin1Char('/'))) {
        const std::optional<QString> found = fromWorkingFolder(*name, workingFolder);
        if (!found) {
            file.unusable = unknownFolderText(file.resolved, *name);
            return;
        }
        ranBy(file, *found, inspectRun(*found, searchPath, workingFolder, depth + 1));
        return;
    }
    // env searches the path again when the child runs: a folder before the one it finds the
    // program in now could have another program of that name by then.
    for (const QString &folder : searchFolders(searchPath)) {
        const std::optional<QString> found = onSearchPath(*name, folder, workingFolder);
        if (!found) {
            file.unusable = unknownFolderText(file.resolved, QStringLiteral("%1 through the search path folder \u201C%2\u201D")
                                                                 .arg(*name, folder));
            return;
        }
        const QString &candidate = *found;
        if (takenOnSearchPath(candidate)) {
            ranBy(file, candidate, inspectRun(candidate, searchPath, workingFolder, depth + 1));
            return;
        }
        const ProgramFile passed =
            Walk(candidate, ProgramUse::run).run(QString(), candidate.split(QLatin1Char('/'), Qt::SkipEmptyParts));
        if (passed.changeable) {
            file.changeable = QStringLiteral("the script %1 runs %2 through a search path whose folder %3 can be changed "
                                             "by another user (%4)")
                                  .arg(file.resolved, *name, QFileInfo(candidate).path(), *passed.changeable);
            return;
        }
    }
    file.unusable = QStringLiteral("%1 runs %2, which is in no folder of its search path").arg(file.resolved, *name);
}

ProgramFile inspectRun(const QString &path, const QStringList &searchPath, const QString &workingFolder, int depth)
{
    ProgramFile file = Walk(path, ProgramUse::run).run(QString(), path.split(QLatin1Char('/'), Qt::SkipEmptyParts));
    if (!file.changeable && !file.unusable && file.identity) {
        inspectInterpreter(file, searchPath, workingFolder, depth);
    }
    if (file.unusable || file.changeable) {
        file.identity.reset();
    }
    return file;
}

} // namespace

ProgramFile inspectProgramFile(const QString &path, ProgramUse use, const QString &winePrefix, const QStringList &searchPath,
                               const QString &workingFolder)
{
    Walk walk(path, use);
    if (use == ProgramUse::wine && isWindowsPath(path)) {
        const QChar drive = path[0].toLower();
        const QString root = drive == QLatin1Char('c')   ? winePrefix + QStringLiteral("/drive_c")
                             : drive == QLatin1Char('z') ? QStringLiteral("/")
                                                         : winePrefix + QStringLiteral("/dosdevices/") + drive + QLatin1Char(':');
        if (drive != QLatin1Char('z') && !winePrefix.startsWith(QLatin1Char('/'))) {
            ProgramFile file;
            file.given = file.resolved = path;
            file.unusable = QStringLiteral("%1 is on a drive of no Wine prefix").arg(path);
            return file;
        }
        return walk.run(root, path.mid(3).split(QRegularExpression(QStringLiteral("[\\\\/]")), Qt::SkipEmptyParts));
    }
    if (!path.startsWith(QLatin1Char('/'))) {
        ProgramFile file;
        file.given = file.resolved = path;
        file.unusable = QStringLiteral("%1 is not an absolute path").arg(path);
        return file;
    }
    if (use == ProgramUse::run) {
        return inspectRun(path, searchPath, workingFolder, 0);
    }
    return walk.run(QString(), path.split(QLatin1Char('/'), Qt::SkipEmptyParts));
}

FolderWalk walkFolder(const QString &folder)
{
    if (!folder.startsWith(QLatin1Char('/'))) {
        return {folder, QStringLiteral("%1 is not an absolute path").arg(folder)};
    }
    Walk walk(folder, ProgramUse::run, Walk::End::folder);
    const ProgramFile walked = walk.run(QString(), folder.split(QLatin1Char('/'), Qt::SkipEmptyParts));
    return {walked.resolved, walked.changeable ? walked.changeable : walked.unusable, walk.missing()};
}

std::optional<QString> othersMayChangeEntriesOf(const QString &folder) { return walkFolder(folder).othersMayChange; }

int openLookedAt(const ProgramFile &file)
{
    if (!file.identity) {
        return -1;
    }
    const int fd = ::open(QFile::encodeName(file.resolved).constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) == 0 && FileIdentity{st.st_dev, st.st_ino} == *file.identity) {
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return -1;
}

} // namespace cordavelle
