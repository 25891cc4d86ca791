#include "child_exec.h"

#include <QFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace cordavelle {

ChildExec::ChildExec(const QString &program, const QStringList &arguments,
                     const std::optional<QProcessEnvironment> &environment)
{
    QString path = program;
    if (!program.contains(QLatin1Char('/'))) {
        const QStringList searchPath = environment && environment->contains(QStringLiteral("PATH"))
            ? environment->value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts)
            : QStringList();
        const QString found = QStandardPaths::findExecutable(program, searchPath);
        if (!found.isEmpty()) {
            path = found;
        }
    }
    m_path = QFile::encodeName(path);
    m_arguments.push_back(QFile::encodeName(program));
    for (const QString &argument : arguments) {
        m_arguments.push_back(argument.toLocal8Bit());
    }
    for (QByteArray &argument : m_arguments) {
        m_argv.push_back(argument.data());
    }
    m_argv.push_back(nullptr);
    if (environment) {
        m_ownEnvironment = true;
        for (const QString &entry : environment->toStringList()) {
            m_environment.push_back(entry.toLocal8Bit());
        }
        for (QByteArray &entry : m_environment) {
            m_envp.push_back(entry.data());
        }
        m_envp.push_back(nullptr);
    }
    int report[2] = {-1, -1};
    if (::pipe2(report, O_CLOEXEC) == 0) {
        m_reportRead = report[0];
        m_reportWrite = report[1];
    }
}

ChildExec::~ChildExec()
{
    for (int fd : {m_reportRead, m_reportWrite}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void ChildExec::execInChild() const noexcept
{
    if (m_ownProcessGroup) {
        ::setpgid(0, 0);
    }
    // What the helper's programs make (Wine, its prefix, unpacked tools) must never be writable by
    // the group or others, or it would no longer pass the check before a launch; a session umask
    // of 002 would otherwise leave it so.
    ::umask(::umask(0) | 022);
    ::execve(m_path.constData(), m_argv.data(), m_ownEnvironment ? m_envp.data() : environ);
    const int error = errno;
    if (m_reportWrite >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(m_reportWrite, &error, sizeof error);
    }
    ::_exit(127);
}

void ChildExec::closeChildEnd()
{
    if (m_reportWrite >= 0) {
        ::close(m_reportWrite);
        m_reportWrite = -1;
    }
}

std::optional<QString> ChildExec::failure()
{
    if (m_read || m_reportRead < 0) {
        return m_failure;
    }
    closeChildEnd();
    m_read = true;
    // The child has exec'd (the close-on-exec end is gone: end of file) or written its error
    // before it exited, so this never waits.
    int error = 0;
    ssize_t n = 0;
    do {
        n = ::read(m_reportRead, &error, sizeof error);
    } while (n < 0 && errno == EINTR);
    ::close(m_reportRead);
    m_reportRead = -1;
    if (n == static_cast<ssize_t>(sizeof error)) {
        m_failure = QString::fromLocal8Bit(std::strerror(error));
    }
    return m_failure;
}

} // namespace cordavelle
