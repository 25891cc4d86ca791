#include "child_processes.h"

#include "core/managed_process.h"
#include "platform/child_process.h"

#include <QDir>
#include <QFile>
#include <QCoreApplication>
#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace cordavelle::test {

namespace {

// The fields of /proc/<pid>/stat after the command name, from the state on; none when there is
// no such process.
QList<QByteArray> statFields(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return {};
    }
    // The command name is in parentheses and may hold any character.
    const QByteArray text = stat.readAll();
    const qsizetype name = text.lastIndexOf(')');
    return name < 0 ? QList<QByteArray>() : text.mid(name + 2).split(' ');
}

// When the process began, in clock ticks since boot: 0 when there is no such process.
quint64 startTime(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return fields.size() > 19 ? fields[19].toULongLong() : 0;
}

} // namespace

bool isAlive(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return !fields.isEmpty() && fields[0] != "Z";
}

namespace {

bool isChild(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return pid > 0 && fields.size() > 1 && fields[1].toLongLong() == ::getpid();
}

} // namespace

bool signalChild(std::optional<qint64> pid, int signal)
{
    // A child's number is not handed out again before this process has reaped it.
    return pid && isChild(*pid) && ::kill(static_cast<pid_t>(*pid), signal) == 0;
}

bool signalProcessWith(std::optional<qint64> pid, const QByteArray &variable, int signal)
{
    if (!pid || *pid <= 0) {
        return false;
    }
    QFile environ(QStringLiteral("/proc/%1/environ").arg(*pid));
    return environ.open(QIODevice::ReadOnly) && environ.readAll().split('\0').contains(variable)
           && ::kill(static_cast<pid_t>(*pid), signal) == 0;
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

bool ProcessHandle::signal(int signal) const
{
    return m_fd >= 0 && ::syscall(SYS_pidfd_send_signal, m_fd, signal, nullptr, 0) == 0;
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
        killProcess(process);
    }
}

void killProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning) {
        return;
    }
    const qint64 pid = process.processId();
    process.kill();
    if (!process.waitForFinished(30000)) {
        ADD_FAILURE() << process.program().toStdString() << " (pid " << pid << ") did not end within 30 s of SIGKILL";
    }
}

bool awaitEnd(QProcess &process, std::chrono::milliseconds limit)
{
    const std::string command = (process.program() + ' ' + process.arguments().join(' ')).toStdString();
    if (process.state() != QProcess::NotRunning && !process.waitForFinished(static_cast<int>(limit.count()))) {
        ADD_FAILURE() << command << " did not end within " << limit.count() << " ms";
        stopProcess(process);
        return false;
    }
    if (process.error() == QProcess::FailedToStart) {
        ADD_FAILURE() << command << " could not be started: " << process.errorString().toStdString();
        return false;
    }
    return true;
}

ChildProcessGroups::~ChildProcessGroups()
{
    // The processes watched may outlive this record.
    for (const QMetaObject::Connection &watch : m_watches) {
        QObject::disconnect(watch);
    }
}

void ChildProcessGroups::watch(const ManagedProcess &process)
{
    m_watches.push_back(QObject::connect(&process, &ManagedProcess::pidChanged, &process, [this, &process] {
        if (auto pid = process.pid()) {
            note(*pid);
        }
    }));
}

void ChildProcessGroups::note(qint64 pid)
{
    if (isChild(pid)) {
        m_children.push_back({pid, startTime(pid)});
    }
}

bool ChildProcessGroups::Child::stillThere() const { return started != 0 && startTime(pid) == started && isAlive(pid); }

bool ChildProcessGroups::allEnded() const
{
    return std::none_of(m_children.begin(), m_children.end(), [](const Child &child) { return child.stillThere(); });
}

void ChildProcessGroups::killAll() const
{
    for (const Child &child : m_children) {
        // While any of its group is left the number is not handed out again; only a process
        // that has it now and began at another time is someone else.
        const quint64 holder = startTime(child.pid);
        if (child.pid > 0 && child.started != 0 && (holder == 0 || holder == child.started)) {
            ::kill(-static_cast<pid_t>(child.pid), SIGKILL);
        }
    }
}

int runStandInParent(const QStringList &arguments)
{
    const QString exitWhen = arguments.value(0);
    ChildProcess *child = ChildProcess::launch(arguments.value(1), arguments.mid(2), std::nullopt, {});
    QObject::connect(child, &ChildProcess::started, [child] {
        std::printf("%lld\n", static_cast<long long>(child->pid()));
        std::fflush(stdout);
    });
    QObject::connect(child, &ChildProcess::failedToStart, [] { std::_Exit(2); });
    if (!exitWhen.isEmpty()) {
        std::atexit([] { ChildProcess::endAllNow(std::chrono::seconds(2)); });
        auto *look = new QTimer(QCoreApplication::instance());
        QObject::connect(look, &QTimer::timeout, [exitWhen] {
            if (QFile::exists(exitWhen)) {
                std::exit(1);
            }
        });
        look->start(10);
    }
    return QCoreApplication::exec();
}

} // namespace cordavelle::test
