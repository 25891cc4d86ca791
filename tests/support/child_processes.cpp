#include "child_processes.h"

#include "core/managed_process.h"

#include <QDir>
#include <QFile>
#include <QProcess>

#include <algorithm>
#include <csignal>

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
