#include "child_exec.h"

#include "program_file.h"
#include "program_search.h"

#include <QFile>
#include <QFileInfo>

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
        const ProgramSearch search = searchPathFor(program, searchPath);
        if (search.found) {
            path = *search.found;
        } else if (search.passedOver) {
            m_refusal = passedOverText(program, *search.passedOver);
        }
    }
    if (!m_refusal) {
        const ProgramFile file = inspectProgramFile(path);
        if (file.changeable) {
            m_refusal = QStringLiteral("%1 at %2 can be changed by another user (%3)")
                            .arg(QFileInfo(path).fileName(), path, *file.changeable);
        } else if (!file.unusable) {
            // A link changed after the check is not followed.
            path = file.resolved;
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
    // A refused program is never started; should a caller start it all the same, it is not run.
    const bool refused = m_refusal.has_value();
    if (!refused) {
        ::execve(m_path.constData(), m_argv.data(), m_ownEnvironment ? m_envp.data() : environ);
    }
    const int error = refused ? EPERM : errno;
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
    if (m_refusal) {
        return m_refusal;
    }
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
