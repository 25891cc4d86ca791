#include "tree_removal.h"

#include "files.h"
#include "program_file.h"
#include "system_error_text.h"


#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace cordavelle {

namespace {

QString entryPath(const QString &folder, const QString &name)
{
    return folder.endsWith(QLatin1Char('/')) ? folder + name : folder + QLatin1Char('/') + name;
}

} // namespace

namespace {

// The longest path a failure names whole; a longer one (a tree thousands of levels deep) keeps
// its two ends: where the removal started and what could not go.
constexpr qsizetype kShownPathLength = 400;

QString cutToEnds(const QString &path)
{
    if (path.size() <= kShownPathLength) {
        return path;
    }
    const qsizetype end = kShownPathLength / 2;
    return path.left(end) + QStringLiteral("\u2026") + path.right(end);
}

// What the walk knows of an entry, looked at without following a link or triggering a mount.
struct EntryFacts {
    bool isFolder = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::optional<quint64> mount;
    bool mountRoot = false;

    // Told by the mount where the system names it: a bind mount of a folder of the same disk keeps
    // its device, and an overlay gives a file the device of the layer it lies in, while the file
    // is as much the overlay's as its folder is. Only a system that names no mount is left with
    // the device.
    bool otherFileSystemThan(const EntryFacts &folder) const
    {
        if (mountRoot) {
            return true;
        }
        return mount && folder.mount ? *mount != *folder.mount : device != folder.device;
    }
};

// 0, or the system's reason why `name` in the folder open at `folderFd` can't be looked at.
int lookAt(int folderFd, const char *name, int flags, EntryFacts &facts)
{
    struct statx found {};
    if (::statx(folderFd, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO | STATX_MNT_ID,
                &found) != 0) {
        return errno;
    }
    facts.isFolder = S_ISDIR(found.stx_mode);
    facts.device = makedev(found.stx_dev_major, found.stx_dev_minor);
    facts.inode = found.stx_ino;
    if (found.stx_mask & STATX_MNT_ID) {
        facts.mount = found.stx_mnt_id;
    }
    facts.mountRoot = (found.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) && (found.stx_attributes & STATX_ATTR_MOUNT_ROOT);
    return 0;
}

// Removes one entry with all it holds, a folder's entries first. It keeps its own stack of the
// folders it is in, not the thread's, so that no depth of tree ends the process; and of those
// folders only the innermost few stay open, so that a deep tree needs no more descriptors than a
// flat one (a folder closed on the way down is opened again as ".." of the one below, and must be
// the same folder). Every step names an entry from the descriptor of the folder around it, never
// by a path: nothing is followed that another program could swap for a link while the removal
// runs. An entry that is another file system (a mount point) is left whole with all it holds:
// what is mounted there, a disk or a share of the user's, is not part of what goes. An entry that
// can't be entered or removed keeps the folders around it; everything else goes, as asked.
class TreeWalk {
public:
    TreeWalk(int folderFd, QString shownFolder) : m_folderFd(folderFd), m_shownFolder(std::move(shownFolder)) {}
    ~TreeWalk()
    {
        for (Frame &frame : m_frames) {
            close(frame);
        }
    }
    TreeWalk(const TreeWalk &) = delete;
    TreeWalk &operator=(const TreeWalk &) = delete;

    // Removes `name` in the folder the walk was given; true when it is gone.
    bool remove(const QByteArray &name);

    int gone = 0;
    int kept = 0;
    // The first entry that could not go, and why.
    QString failure;
    // The next ones, as many as kNamedFailures.
    QStringList more;

private:
    static constexpr std::size_t kOpenFolders = 16;
    static constexpr qsizetype kNamedFailures = 100;

    enum class Step { gone, kept, entered };

    struct Frame {
        QByteArray name;
        EntryFacts facts;
        int fd = -1;
        std::vector<QByteArray> names;
        std::size_t next = 0;
        bool emptied = true;
    };

    // The innermost folder as shown, or the folder around the entry before the walk enters it.
    QString shownPath() const
    {
        QString shown = m_shownFolder;
        for (const Frame &frame : m_frames) {
            shown = entryPath(shown, QFile::decodeName(frame.name));
        }
        return shown;
    }
    QString shownEntry(const QByteArray &name) const
    {
        return cutToEnds(entryPath(shownPath(), QFile::decodeName(name)));
    }
    Step keep(const QString &what)
    {
        if (kept++ == 0) {
            failure = what;
        } else if (more.size() < kNamedFailures) {
            more << what;
        }
        return Step::kept;
    }
    Step keep(const QByteArray &name, const char *what, int error)
    {
        if (kept == 0 || more.size() < kNamedFailures) {
            return keep(QStringLiteral("%1 %2: %3").arg(shownEntry(name), QLatin1String(what), systemErrorText(error)));
        }
        ++kept;
        return Step::kept;
    }
    static void close(Frame &frame)
    {
        if (frame.fd >= 0) {
            ::close(std::exchange(frame.fd, -1));
        }
    }
    Step take(int folderFd, const EntryFacts &folder, const QByteArray &name);
    Step enter(int folderFd, const QByteArray &name, const EntryFacts &facts);
    Step unlinkIn(int folderFd, const QByteArray &name, int flags);
    // Opens `folder` again, closed on the way down, as ".." of the folder `inner` just emptied.
    bool reopen(Frame &folder, int innerFd, const QByteArray &inner);
    // What is said of a folder of the tree that was moved elsewhere while the walk was inside:
    // the same words whichever step finds it gone, as the folder named is the one that moved.
    QString moved(const QByteArray &name) const
    {
        return QStringLiteral("%1 was moved elsewhere while it was removed").arg(shownEntry(name));
    }

    int m_folderFd;
    QString m_shownFolder;
    std::vector<Frame> m_frames;
};

TreeWalk::Step TreeWalk::take(int folderFd, const EntryFacts &folder, const QByteArray &name)
{
    EntryFacts facts;
    if (const int error = lookAt(folderFd, name.constData(), 0, facts)) {
        return error == ENOENT ? Step::gone : keep(name, "can't be looked at", error);
    }
    if (facts.otherFileSystemThan(folder)) {
        return keep(QStringLiteral("%1 is another file system mounted here: left in place").arg(shownEntry(name)));
    }
    return facts.isFolder ? enter(folderFd, name, facts) : unlinkIn(folderFd, name, 0);
}

TreeWalk::Step TreeWalk::enter(int folderFd, const QByteArray &name, const EntryFacts &facts)
{
    const int fd = ::openat(folderFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return keep(name, "could not be entered", errno);
    }
    // What was looked at is what was opened: a folder put in its place meanwhile (another file
    // system's among them) is not walked.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || opened.st_dev != facts.device || opened.st_ino != facts.inode) {
        ::close(fd);
        return keep(QStringLiteral("%1 changed while it was removed").arg(shownEntry(name)));
    }
    Frame frame{name, facts, fd, {}, 0, true};
    // Read whole before anything goes: a folder changed while it is read may skip entries. Read
    // through a descriptor of its own, which closedir() takes with it.
    const int readFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR *entries = readFd >= 0 ? ::fdopendir(readFd) : nullptr;
    int readError = 0;
    if (!entries) {
        readError = errno;
        if (readFd >= 0) {
            ::close(readFd);
        }
    } else {
        errno = 0;
        while (const dirent *entry = ::readdir(entries)) {
            const QByteArray entryName(entry->d_name);
            if (entryName != "." && entryName != "..") {
                frame.names.push_back(entryName);
            }
        }
        readError = errno;
        ::closedir(entries);
    }
    // In the order of their names, so that what a failure names first is the same every time.
    std::sort(frame.names.begin(), frame.names.end());
    if (readError != 0) {
        keep(name, "could not be read", readError);
        frame.emptied = false;
    }
    m_frames.push_back(std::move(frame));
    if (m_frames.size() > kOpenFolders) {
        close(m_frames[m_frames.size() - 1 - kOpenFolders]);
    }
    return Step::entered;
}

TreeWalk::Step TreeWalk::unlinkIn(int folderFd, const QByteArray &name, int flags)
{
    if (::unlinkat(folderFd, name.constData(), flags) != 0) {
        return errno == ENOENT ? Step::gone : keep(name, "could not be removed", errno);
    }
    ++gone;
    return Step::gone;
}

bool TreeWalk::reopen(Frame &folder, int innerFd, const QByteArray &inner)
{
    if (folder.fd >= 0) {
        return true;
    }
    const int fd = ::openat(innerFd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat opened {};
    if (fd >= 0 && ::fstat(fd, &opened) == 0 && opened.st_dev == folder.facts.device &&
        opened.st_ino == folder.facts.inode) {
        folder.fd = fd;
        return true;
    }
    const int error = fd < 0 ? errno : EAGAIN;
    if (fd >= 0) {
        ::close(fd);
    }
    if (fd < 0) {
        keep(QStringLiteral("%1 could not be entered again: %2").arg(cutToEnds(shownPath()), systemErrorText(error)));
    } else {
        keep(moved(inner));
    }
    return false;
}

bool TreeWalk::remove(const QByteArray &name)
{
    EntryFacts around;
    if (const int error = lookAt(m_folderFd, "", AT_EMPTY_PATH, around)) {
        keep(QStringLiteral("%1 can't be looked at: %2").arg(cutToEnds(m_shownFolder), systemErrorText(error)));
        return false;
    }
    const Step first = take(m_folderFd, around, name);
    if (first != Step::entered) {
        return first == Step::gone;
    }
    for (;;) {
        Frame &innermost = m_frames.back();
        if (innermost.next < innermost.names.size()) {
            // A copy: entering a folder may move the frames.
            const QByteArray entry = innermost.names[innermost.next++];
            if (take(innermost.fd, innermost.facts, entry) == Step::kept) {
                m_frames.back().emptied = false;
            }
            continue;
        }
        Frame done = std::move(innermost);
        m_frames.pop_back();
        const bool outermost = m_frames.empty();
        if (!outermost && !reopen(m_frames.back(), done.fd, done.name)) {
            close(done);
            return false;
        }
        const int folderFd = outermost ? m_folderFd : m_frames.back().fd;
        close(done);
        Step removed = Step::kept;
        if (done.emptied) {
            // A folder entered that is no longer there by its name was moved meanwhile.
            if (::unlinkat(folderFd, done.name.constData(), AT_REMOVEDIR) == 0) {
                ++gone;
                removed = Step::gone;
            } else {
                removed = errno == ENOENT ? keep(moved(done.name)) : keep(done.name, "could not be removed", errno);
            }
        }
        if (outermost) {
            return removed == Step::gone;
        }
        if (removed == Step::kept) {
            m_frames.back().emptied = false;
        }
    }
}

} // namespace

Removal removeTree(const QString &path, QString *description, QStringList *more)
{
    // The entry's own name is kept, so that a link there goes itself; the folder around it is the
    // one the check looked at.
    std::optional<QString> entry;
    try {
        entry = usersOwnEntry(path);
    } catch (const FileError &error) {
        *description = error.description();
        return Removal::failed;
    }
    if (!entry) {
        *description = QStringLiteral("%1 names no entry of its own").arg(path);
        return Removal::failed;
    }
    const QString &place = *entry;
    const QByteArray native = QFile::encodeName(place);
    // Only a name that is not there is absent: a way that can't be looked at (a folder on it that
    // can't be entered, a file where a folder should be) may hide everything that was to go.
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT) {
            return Removal::absent;
        }
        *description = QStringLiteral("%1 can't be looked at: %2").arg(place, systemErrorText(err));
        return Removal::failed;
    }
    // What another user may change inside could be made a way out of it while it is removed.
    if (S_ISDIR(st.st_mode)) {
        if (const std::optional<QString> changeable = othersMayChangeEntriesOf(place)) {
            *description = QStringLiteral("Nothing is removed in %1: %2").arg(place, *changeable);
            return Removal::failed;
        }
    }
    const qsizetype cut = place.lastIndexOf(QLatin1Char('/'));
    const QString folder = cut == 0 ? QStringLiteral("/") : place.left(cut);
    const int folderFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) {
        const int err = errno;
        *description = QStringLiteral("%1 could not be entered: %2").arg(folder, systemErrorText(err));
        return Removal::failed;
    }
    TreeWalk walk(folderFd, folder);
    const bool removed = walk.remove(QFile::encodeName(place.mid(cut + 1)));
    ::close(folderFd);
    if (removed) {
        return Removal::removed;
    }
    if (more) {
        *more = walk.more;
    }
    QString failure = walk.failure;
    if (walk.kept > 1) {
        failure += QStringLiteral(" (and %1 more could not go)").arg(walk.kept - 1);
    }
    if (walk.gone == 0) {
        *description = failure;
        return Removal::failed;
    }
    *description = QStringLiteral("partly removed, %1 %2 gone: %3")
                       .arg(walk.gone)
                       .arg(walk.gone == 1 ? QStringLiteral("entry") : QStringLiteral("entries"), failure);
    return Removal::partly;
}

Removal removeTree(const QString &path, QString *description) { return removeTree(path, description, nullptr); }

void makeEmptyFolder(const QString &path)
{
    QString reason;
    if (removalFailed(removeTree(path, &reason))) {
        throw FileError(QStringLiteral("Could not remove %1: %2").arg(path, reason));
    }
    if (!makeFolders(path)) {
        throw FileError(QStringLiteral("Could not create %1: %2").arg(path, systemErrorText(errno)));
    }
}

} // namespace cordavelle
