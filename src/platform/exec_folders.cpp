#include "exec_folders.h"

#include "logger.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

constexpr char kPrefix[] = "cordavelle-exec-";
// mkdtemp's six characters.
constexpr std::size_t kNameLength = sizeof kPrefix - 1 + 6;
constexpr char kLinkTarget[] = "/proc/self/fd/";

const Logger &execLogger()
{
    static const Logger logger(QStringLiteral("com.kelvo.cordavelle-helper"), QStringLiteral("ChildExec"));
    return logger;
}

// Whether the folder open as `fd` holds nothing, or one link of the kind a helper puts there;
// that link's name in `link`.
bool holdsOnlyTheLink(int fd, QByteArray &link)
{
    const int listing = ::dup(fd);
    DIR *entries = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!entries) {
        if (listing >= 0) {
            ::close(listing);
        }
        return false;
    }
    bool only = true;
    int count = 0;
    while (const dirent *entry = ::readdir(entries)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        char target[64];
        const ssize_t length = ::readlinkat(fd, entry->d_name, target, sizeof target - 1);
        if (++count > 1 || length <= 0) {
            only = false;
            break;
        }
        target[length] = '\0';
        if (std::strncmp(target, kLinkTarget, sizeof kLinkTarget - 1) != 0) {
            only = false;
            break;
        }
        link = entry->d_name;
    }
    ::closedir(entries);
    return only;
}

} // namespace

int makeExecFolder(const QString &temporaryFolder, QByteArray &path)
{
    static std::atomic<bool> told{false};
    path = QFile::encodeName(temporaryFolder) + '/' + kPrefix + "XXXXXX";
    int error = 0;
    if (::mkdtemp(path.data())) {
        // A lock, which a sweep at the next launch finds taken for as long as the folder is in use.
        const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() &&
            (st.st_mode & 077) == 0) {
            return fd;
        }
        error = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        ::rmdir(path.constData());
    } else {
        error = errno;
    }
    if (!told.exchange(true)) {
        execLogger().error(QStringLiteral("No private folder could be made in %1 (%2): programs run without their own "
                                          "name, by which the desktop's process list and the sweep of stale rigctld "
                                          "processes know them")
                               .arg(temporaryFolder, QString::fromLocal8Bit(std::strerror(error))));
    }
    return -1;
}

int sweepLeftExecFolders(const QString &temporaryFolder)
{
    const int parent = ::open(QFile::encodeName(temporaryFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) {
        return 0;
    }
    const int listing = ::dup(parent);
    DIR *entries = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!entries) {
        if (listing >= 0) {
            ::close(listing);
        }
        ::close(parent);
        return 0;
    }
    int removed = 0;
    while (const dirent *entry = ::readdir(entries)) {
        if (std::strlen(entry->d_name) != kNameLength || std::strncmp(entry->d_name, kPrefix, sizeof kPrefix - 1) != 0) {
            continue;
        }
        // O_NOFOLLOW: a link of that name is not a folder of ours, whatever it leads to.
        const int fd = ::openat(parent, entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat st {};
        QByteArray link;
        // A folder whose lock is taken is in use by a helper running now.
        if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700 &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && holdsOnlyTheLink(fd, link) &&
            (link.isEmpty() || ::unlinkat(fd, link.constData(), 0) == 0) &&
            ::unlinkat(parent, entry->d_name, AT_REMOVEDIR) == 0) {
            ++removed;
        }
        ::close(fd);
    }
    ::closedir(entries);
    ::close(parent);
    return removed;
}

} // namespace cordavelle
