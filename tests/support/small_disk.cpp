#include "small_disk.h"

#include "needs_root.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace cordavelle::test {

namespace {

QString lastSystemError() { return QString::fromLocal8Bit(std::strerror(errno)); }

// Once per thread: a private copy of the mount table, whose changes go nowhere else.
bool enterPrivateMountNamespace(QString *whyNot)
{
    thread_local bool entered = false;
    if (entered) {
        return true;
    }
    if (::unshare(CLONE_NEWNS) != 0) {
        *whyNot = QStringLiteral("cannot enter a private mount namespace: ") + lastSystemError();
        return false;
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        *whyNot = QStringLiteral("cannot make the mounts private: ") + lastSystemError();
        return false;
    }
    entered = true;
    return true;
}

} // namespace

SmallDisk::SmallDisk(const QString &folder) : m_folder(folder), m_filler(folder + QStringLiteral("/.filler"))
{
    QDir().mkpath(folder);
    if (!runsAsRoot()) {
        m_whyNot = QStringLiteral("mounting a disk of its own needs root");
        return;
    }
    if (!enterPrivateMountNamespace(&m_whyNot)) {
        return;
    }
    if (::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k,mode=0755") != 0) {
        m_whyNot = QStringLiteral("cannot mount a tmpfs: ") + lastSystemError();
        return;
    }
    m_mounted = true;
}

BindMount::BindMount(const QString &from, const QString &onto) : m_onto(onto)
{
    QDir().mkpath(onto);
    if (!runsAsRoot()) {
        m_whyNot = QStringLiteral("mounting a folder onto another needs root");
        return;
    }
    if (!enterPrivateMountNamespace(&m_whyNot)) {
        return;
    }
    if (::mount(QFile::encodeName(from).constData(), QFile::encodeName(onto).constData(), nullptr, MS_BIND, nullptr) !=
        0) {
        m_whyNot = QStringLiteral("cannot bind a folder: ") + lastSystemError();
        return;
    }
    m_mounted = true;
}

BindMount::~BindMount()
{
    if (m_mounted) {
        ::umount2(QFile::encodeName(m_onto).constData(), MNT_DETACH);
    }
}

OverlayMount::OverlayMount(const QString &folder)
    : m_folder(folder), m_lower(folder + QStringLiteral("/lower")), m_upper(folder + QStringLiteral("/upper"))
{
}

bool OverlayMount::mount()
{
    if (!m_lower.available() || !m_upper.available()) {
        m_whyNot = m_lower.available() ? m_upper.whyNot() : m_lower.whyNot();
        return false;
    }
    const QString upper = m_folder + QStringLiteral("/upper");
    QDir().mkpath(upper + QStringLiteral("/changes"));
    QDir().mkpath(upper + QStringLiteral("/work"));
    QDir().mkpath(merged());
    const QByteArray options = QFile::encodeName(QStringLiteral("lowerdir=%1,upperdir=%2/changes,workdir=%2/work").arg(lower(), upper));
    if (::mount("overlay", QFile::encodeName(merged()).constData(), "overlay", 0, options.constData()) != 0) {
        m_whyNot = QStringLiteral("cannot mount an overlay: ") + lastSystemError();
        return false;
    }
    m_mounted = true;
    return true;
}

OverlayMount::~OverlayMount()
{
    if (m_mounted) {
        ::umount2(QFile::encodeName(merged()).constData(), MNT_DETACH);
    }
}

SmallDisk::~SmallDisk()
{
    if (m_mounted) {
        ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH);
    }
}

bool SmallDisk::fill()
{
    const int fd = ::open(QFile::encodeName(m_filler).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    const QByteArray block(4096, 'x');
    ssize_t n = 0;
    do {
        n = ::write(fd, block.constData(), static_cast<size_t>(block.size()));
    } while (n > 0);
    // Whatever is left over is smaller than a block: take it byte by byte.
    while (n < 0 && errno == ENOSPC && ::write(fd, block.constData(), 1) == 1) {
    }
    const bool full = errno == ENOSPC;
    ::close(fd);
    return full;
}

void SmallDisk::free() { QFile::remove(m_filler); }

bool SmallDisk::makeReadOnly()
{
    return ::mount(nullptr, QFile::encodeName(m_folder).constData(), nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV,
                   nullptr) == 0;
}

} // namespace cordavelle::test
