#include "files.h"

#include "system_error_text.h"

#include "program_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

[[noreturn]] void failWrite(const QString &path, const QString &what, int error)
{
    throw FileError(QStringLiteral("Could not %1 %2: %3").arg(what, path, systemErrorText(error)));
}

// The temporary file of one atomic write: removed again unless it took the file's name.
class TemporaryFile {
public:
    explicit TemporaryFile(const QByteArray &target)
    {
        // The same folder, so that the rename never crosses file systems; the name's pattern is
        // the one a later start recognises as a leftover.
        m_name = target + ".XXXXXX";
        m_fd = ::mkostemp(m_name.data(), O_CLOEXEC);
        if (m_fd < 0) {
            m_name.clear();
        }
    }
    ~TemporaryFile()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        if (!m_name.isEmpty()) {
            ::unlink(m_name.constData());
        }
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    int fd() const { return m_fd; }
    const QByteArray &name() const { return m_name; }
    // Closes the file, reporting what close(2) reports (a delayed write error among others).
    int close()
    {
        const int result = ::close(std::exchange(m_fd, -1));
        return result == 0 ? 0 : errno;
    }
    void keep() { m_name.clear(); }

private:
    QByteArray m_name;
    int m_fd = -1;
};

// The process's umask, read without changing it: setting it to read it back would, for that
// moment, let a file made on another thread (the keychain's) come out without it.
mode_t currentUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    // A /proc file reads as empty in size: read it whole rather than up to its end.
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("Umask:")) {
                bool ok = false;
                const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                if (ok) {
                    return static_cast<mode_t>(mask & 0777);
                }
            }
        }
    }
    // Without /proc, the strictest mask that a desktop session uses keeps others out.
    return 077;
}

// The mode a replacement gets when none is asked for: that of the file it replaces, else what
// a new file would get, in either case never writable by the group or others. Under the umask 002
// of a desktop that gives each user a group, a new file would be 0664; the helper's files are
// read by the programs it launches and must not be changed behind its back.
mode_t defaultMode(const QByteArray &target)
{
    struct stat st {};
    if (::stat(target.constData(), &st) == 0) {
        return st.st_mode & 07777 & ~mode_t(022);
    }
    return 0666 & ~(currentUmask() | 022);
}

} // namespace

void writeFileAtomically(const QString &path, const QByteArray &bytes, unsigned permissions)
{
    const QByteArray target = QFile::encodeName(path);
    TemporaryFile temporary(target);
    if (temporary.fd() < 0) {
        failWrite(path, QStringLiteral("write"), errno);
    }
    // The mode is set before any byte goes in, so a secret is never readable by others, not even
    // in the temporary file.
    const mode_t mode = permissions != 0 ? static_cast<mode_t>(permissions) : defaultMode(target);
    if (::fchmod(temporary.fd(), mode) != 0) {
        failWrite(path, QStringLiteral("set permissions of"), errno);
    }
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(temporary.fd(), bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failWrite(path, QStringLiteral("write"), n < 0 ? errno : EIO);
        }
        written += n;
    }
    // A full disk or a failing device may only show here; the old file must stay until the new
    // one is known to be whole on the disk.
    if (::fsync(temporary.fd()) != 0) {
        failWrite(path, QStringLiteral("write"), errno);
    }
    if (const int error = temporary.close()) {
        failWrite(path, QStringLiteral("write"), error);
    }
    if (::rename(temporary.name().constData(), target.constData()) != 0) {
        failWrite(path, QStringLiteral("replace"), errno);
    }
    temporary.keep();
    // The rename itself reaches the disk only with the folder.
    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : target.left(slash);
    const int folderFd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        failWrite(path, QStringLiteral("save"), errno);
    }
    const int synced = ::fsync(folderFd) == 0 ? 0 : errno;
    ::close(folderFd);
    if (synced != 0) {
        failWrite(path, QStringLiteral("save"), synced);
    }
}

bool moveAsideAsCorrupt(const QString &path)
{
    const QString aside = path + QStringLiteral(".corrupt");
    QFile::remove(aside);
    return QFile::rename(path, aside);
}

namespace {

QString joined(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

// `path` made absolute against the working folder without cleaning it: "lnk/.." is not "".
QString absoluteAsGiven(const QString &path)
{
    return QDir::isAbsolutePath(path) ? path : joined(QDir::currentPath(), path);
}

} // namespace

namespace {

// realFolderPath of the absolute `given`; nothing, with `error` saying why, when it can't be found.
std::optional<QString> realPathOf(const QString &given, int &error)
{
    QStringList names = given.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QStringList missing;
    for (;;) {
        const QString existing = QLatin1Char('/') + names.join(QLatin1Char('/'));
        char real[PATH_MAX];
        if (::realpath(QFile::encodeName(existing).constData(), real) != nullptr) {
            QString found = QFile::decodeName(real);
            for (const QString &name : std::as_const(missing)) {
                found = joined(found, name);
            }
            return found;
        }
        error = errno;
        if (error != ENOENT || names.isEmpty()) {
            return std::nullopt;
        }
        const QString name = names.takeLast();
        // The system gives up at the missing folder before it comes to the "..".
        if (name == QLatin1String("..")) {
            return std::nullopt;
        }
        if (name != QLatin1String(".")) {
            missing.prepend(name);
        }
    }
}

} // namespace

QString folderOf(const QString &path)
{
    const QString given = absoluteAsGiven(path);
    const qsizetype cut = given.lastIndexOf(QLatin1Char('/'));
    return cut <= 0 ? QStringLiteral("/") : given.left(cut);
}

int removeLeftoverTemporaryFiles(const QString &path, QString *refusal)
{
    const QFileInfo info(path);
    // The names the atomic write gives its temporary files (and older builds' writes gave theirs).
    const QRegularExpression temporary(
        QStringLiteral("^%1\\.[A-Za-z0-9]{6}$").arg(QRegularExpression::escape(info.fileName())));
    // The folder the atomic write used: absoluteDir() would clean "link/.." away as text.
    QString folder;
    try {
        folder = usersOwnFolder(folderOf(path));
    } catch (const FileError &error) {
        if (refusal) {
            *refusal = error.description();
        }
        return 0;
    }
    int removed = 0;
    for (const QString &name : QDir(folder).entryList({info.fileName() + QStringLiteral(".*")},
                                                      QDir::Files | QDir::Hidden | QDir::System)) {
        if (temporary.match(name).hasMatch() && QFile::remove(joined(folder, name))) {
            ++removed;
        }
    }
    return removed;
}

QString realFolderPath(const QString &path)
{
    const QString given = absoluteAsGiven(path);
    int error = 0;
    if (const std::optional<QString> real = realPathOf(given, error)) {
        return *real;
    }
    throw FileError(QStringLiteral("Could not find where %1 leads: %2").arg(given, systemErrorText(error)));
}

QString makePrivateFolder(const QString &path)
{
    // Only the folder around it is resolved: a link at the folder's own name is refused below,
    // never followed.
    const QString given = absoluteAsGiven(path);
    const qsizetype cut = given.lastIndexOf(QLatin1Char('/'));
    const QString name = given.mid(cut + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        throw FileError(QStringLiteral("%1 names no folder of its own").arg(path));
    }
    const QString parentGiven = cut == 0 ? QStringLiteral("/") : given.left(cut);
    int unresolved = 0;
    const std::optional<QString> realParent = realPathOf(parentGiven, unresolved);
    // The path as given, with the folder the system takes it for where that differs.
    const auto named = [&](const QString &folder) {
        const QString place = joined(folder, name);
        return place == given ? given : QStringLiteral("%1 (which is %2)").arg(given, place);
    };
    const auto refuse = [&](const QString &folder, const QString &why) {
        return FileError(QStringLiteral("%1 is not a private folder of this user: %2").arg(named(folder), why));
    };
    // Whoever may change a folder on the way to it, the one around it or one further up, may move
    // ours (or a folder above it) aside and put one of her own in its place between our check and
    // our use; a sticky folder lets nobody move what is not theirs. Write through the user's
    // private group (a folder made under umask 002) gives nobody else that, while a group that
    // holds another user or an access list may. Missing folders are made only on a way nobody
    // else can change, so that a refusal leaves nothing of the user's in a folder of hers.
    if (realParent) {
        QString existing = *realParent;
        struct stat st {};
        while (existing != QLatin1String("/") && ::lstat(QFile::encodeName(existing).constData(), &st) != 0 &&
               errno == ENOENT) {
            existing = folderOf(existing);
        }
        if (existing != *realParent) {
            if (const std::optional<QString> changeable = othersMayChangeEntriesOf(existing)) {
                throw refuse(*realParent, *changeable);
            }
        }
    }
    if (!makeFolders(parentGiven)) {
        const int err = errno;
        throw FileError(QStringLiteral("Could not create %1: %2").arg(parentGiven, systemErrorText(err)));
    }
    // The walk goes the system's way, links and all, and everything below uses the folder it
    // ended at: the one it approved. One refused on the way ended short of the folder, which the
    // refusal names as the system would have taken it.
    const FolderWalk parent = walkFolder(parentGiven);
    if (parent.othersMayChange) {
        throw refuse(realParent.value_or(parentGiven), *parent.othersMayChange);
    }
    const QString place = joined(parent.real, name);
    const QString shown = named(parent.real);
    const QByteArray native = QFile::encodeName(place);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        const int err = errno;
        throw FileError(QStringLiteral("Could not create %1: %2").arg(shown, systemErrorText(err)));
    }
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        const int err = errno;
        throw FileError(QStringLiteral("Could not inspect %1: %2").arg(shown, systemErrorText(err)));
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        throw FileError(QStringLiteral("%1 is not a private folder of this user").arg(shown));
    }
    if ((st.st_mode & 07777) != 0700 && ::chmod(native.constData(), 0700) != 0) {
        const int err = errno;
        throw FileError(QStringLiteral("Could not restrict %1: %2").arg(shown, systemErrorText(err)));
    }
    return place;
}

namespace {

// restrictToOwner on what lstat(2) found at `native`.
bool restrictToOwner(const QByteArray &native, const struct stat &st)
{
    if (S_ISLNK(st.st_mode) || st.st_uid != ::geteuid()) {
        return true;
    }
    if ((st.st_mode & 077) == 0) {
        return true;
    }
    return ::chmod(native.constData(), st.st_mode & 07700) == 0;
}

} // namespace

bool restrictToOwner(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        return errno == ENOENT;
    }
    return restrictToOwner(native, st);
}

bool makeFolderForOwner(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        if (errno != ENOENT || !makeFolders(path) || ::lstat(native.constData(), &st) != 0) {
            return false;
        }
    }
    return restrictToOwner(native, st);
}

bool makeFolders(const QString &path)
{
    // Made where the system will look for it, not where the path reads as text.
    int error = 0;
    const std::optional<QString> real = realPathOf(absoluteAsGiven(path), error);
    if (!real) {
        errno = error;
        return false;
    }
    const QString &clean = *real;
    qsizetype end = 0;
    while (end >= 0) {
        end = clean.indexOf(QLatin1Char('/'), end + 1);
        const QByteArray native = QFile::encodeName(end < 0 ? clean : clean.left(end));
        if (::mkdir(native.constData(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    struct stat st {};
    if (::stat(QFile::encodeName(clean).constData(), &st) != 0) {
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

QString usersOwnFolder(const QString &path)
{
    const QString given = absoluteAsGiven(path);
    const FolderWalk walked = walkFolder(given);
    if (walked.missing) {
        // A ".." after a missing name has no folder to be taken from.
        if (walked.real.split(QLatin1Char('/')).contains(QStringLiteral(".."))) {
            throw FileError(QStringLiteral("Could not find where %1 leads: %2").arg(given, *walked.othersMayChange));
        }
        return walked.real;
    }
    if (walked.othersMayChange) {
        const QString named = walked.real == given || walked.real.isEmpty()
                                  ? given
                                  : QStringLiteral("%1 (which is %2)").arg(given, walked.real);
        throw FileError(QStringLiteral("Nothing is removed or installed in %1: %2").arg(named, *walked.othersMayChange));
    }
    return walked.real;
}

std::optional<QString> usersOwnEntry(const QString &path)
{
    QString given = absoluteAsGiven(path);
    while (given.size() > 1 && given.endsWith(QLatin1Char('/'))) {
        given.chop(1);
    }
    const qsizetype cut = given.lastIndexOf(QLatin1Char('/'));
    const QString name = given.mid(cut + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        return std::nullopt;
    }
    return joined(usersOwnFolder(cut == 0 ? QStringLiteral("/") : given.left(cut)), name);
}

bool haveSpareDescriptors(int count)
{
    std::vector<int> taken;
    const int first = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (first >= 0) {
        taken.push_back(first);
        while (static_cast<int>(taken.size()) < count) {
            const int more = ::fcntl(first, F_DUPFD_CLOEXEC, 0);
            if (more < 0) {
                break;
            }
            taken.push_back(more);
        }
    }
    const bool enough = static_cast<int>(taken.size()) >= count;
    for (const int fd : taken) {
        ::close(fd);
    }
    return enough;
}

} // namespace cordavelle
