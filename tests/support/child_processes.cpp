#include "child_processes.h"

#include "core/managed_process.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cordavelle::test {

bool isAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return false;
    }
    // The state follows the command name, which is in parentheses and may hold any character.
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2, 1) != "Z";
}

// By the system call: the C library's header of this release declares it without C linkage.
ProcessHandle::ProcessHandle(qint64 pid) : m_fd(static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0)))
{
    if (m_fd < 0) {
        ADD_FAILURE() << "cannot hold process " << pid << ": " << std::strerror(errno);
    }
}

ProcessHandle::~ProcessHandle()
{
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool ProcessHandle::endsWithin(std::chrono::milliseconds wait) const
{
    // The descriptor turns readable once the process has ended.
    pollfd ending{m_fd, POLLIN, 0};
    return m_fd >= 0 && ::poll(&ending, 1, static_cast<int>(wait.count())) == 1;
}

int openDescriptorCount()
{
    return static_cast<int>(
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}

int threadCount()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

void stopProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void ChildProcessGroups::watch(const ManagedProcess &process)
{
    QObject::connect(&process, &ManagedProcess::pidChanged, &process, [this, &process] {
        if (auto pid = process.pid()) {
            m_pids.push_back(*pid);
        }
    });
}

bool ChildProcessGroups::allEnded() const { return std::none_of(m_pids.begin(), m_pids.end(), isAlive); }

void ChildProcessGroups::killAll() const
{
    for (qint64 pid : m_pids) {
        ::kill(-static_cast<pid_t>(pid), SIGKILL);
    }
}

} // namespace cordavelle::test
