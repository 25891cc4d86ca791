#include "own_file_modes.h"

#include "platform/program_file.h"
#include "platform/tool_locator.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

constexpr mode_t kOthersWrite = S_IWGRP | S_IWOTH;
// Deeper than any install goes; a tree deeper still is not walked further, which is reported.
constexpr int kDeepest = 64;

// One walk: every entry is reached through the descriptor of the folder that holds it, and
// changed through a descriptor of its own, so that nothing put in its place between the look and
// the change (a link above all, in a folder others can still write to) is ever reached.
class Walk {
public:
    explicit Walk(ModeTightening &result) : m_result(result) {}

    void root(const QString &folder)
    {
        const QByteArray path = QFile::encodeName(folder);
        const int fd = ::open(path.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            if (errno != ENOENT) {
                fail(path, errno);
            }
            return;
        }
        visit(fd, path, 0);
    }

private:
    // Takes over `fd`, an O_PATH descriptor of the entry at `path`, and closes it.
    void visit(int fd, const QByteArray &path, int depth)
    {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            fail(path, errno);
            ::close(fd);
            return;
        }
        const bool folder = S_ISDIR(st.st_mode);
        // A link is neither changed nor followed; a fifo or socket has no install in it; what is
        // another user's is theirs, and a folder of theirs is not looked into.
        if (!(folder || S_ISREG(st.st_mode))) {
            ::close(fd);
            return;
        }
        if (st.st_uid != ::geteuid()) {
            if (folder) {
                ++m_result.foreignFolders;
            }
            ::close(fd);
            return;
        }
        // A folder first, so that the group loses the write that would let it swap what is
        // looked at below.
        if ((st.st_mode & kOthersWrite) != 0) {
            tighten(fd, path, st.st_mode);
        }
        if (folder) {
            enter(fd, st, path, depth);
        }
        ::close(fd);
    }

    // An O_PATH descriptor can't be fchmod'ed, and opening the file itself would block on a
    // fifo put in its place or fail on a file the user can't read: the descriptor's own entry
    // in /proc reaches the very file it was opened on, and never a link.
    void tighten(int fd, const QByteArray &path, mode_t mode)
    {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (::chmod(self.c_str(), mode & 07777 & ~kOthersWrite) == 0) {
            ++m_result.tightened;
        } else {
            fail(path, errno);
        }
    }

    void enter(int fd, const struct stat &looked, const QByteArray &path, int depth)
    {
        if (depth >= kDeepest) {
            fail(path, ELOOP);
            return;
        }
        // Opened through the O_PATH descriptor, so it is the folder looked at.
        const int listing = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (listing < 0) {
            // A folder of the user's that the user can't look into holds nothing any launch reaches.
            if (errno != EACCES) {
                fail(path, errno);
            }
            return;
        }
        struct stat st {};
        if (::fstat(listing, &st) != 0 || st.st_dev != looked.st_dev || st.st_ino != looked.st_ino) {
            ::close(listing);
            return;
        }
        DIR *entries = ::fdopendir(listing);
        if (!entries) {
            fail(path, errno);
            ::close(listing);
            return;
        }
        while (const dirent *entry = ::readdir(entries)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
                continue;
            }
            const QByteArray child = path + '/' + entry->d_name;
            const int childFd = ::openat(::dirfd(entries), entry->d_name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
            if (childFd < 0) {
                if (errno != ENOENT) {
                    fail(child, errno);
                }
                continue;
            }
            visit(childFd, child, depth + 1);
        }
        ::closedir(entries);
    }

    void fail(const QByteArray &path, int error)
    {
        if (!m_result.firstFailure) {
            m_result.firstFailure = QStringLiteral("%1: %2").arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(error)));
        }
        ++m_result.failed;
    }

    ModeTightening &m_result;
};

} // namespace

ModeTightening tightenOwnModes(const QString &folder)
{
    ModeTightening result;
    Walk(result).root(folder);
    return result;
}

bool isRunnableOwnCopy(const QString &path)
{
    if (!ToolLocator::isExecutableFile(path)) {
        return false;
    }
    const ProgramFile file = inspectProgramFile(path);
    return !file.changeable && !file.unusable;
}

} // namespace cordavelle
