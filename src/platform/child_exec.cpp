#include "child_exec.h"

#include "exec_folders.h"
#include "program_file.h"
#include "program_search.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace cordavelle {

namespace {

// A file that keeps being replaced between the look and the opening is not run.
constexpr int kOpenAttempts = 3;

// Written to the report pipe instead of an errno: the script's path no longer led to the file
// that was checked when the child came to run it.
constexpr int kReplaced = -1;
// Written instead of an errno: the program can't be used as it stands, and nothing was exec'd.
constexpr int kUnusable = -2;

// What the child writes to the report pipe when it does not exec: why, and whether it was the
// working folder it could not enter.
struct Report {
    int error = 0;
    bool inWorkingFolder = false;
};

// The search path the child gets, through which env in a script's "#!" line finds its program;
// empty for the helper's own.
QStringList searchPathOf(const std::optional<QProcessEnvironment> &environment)
{
    if (!environment) {
        return {};
    }
    // What the C library searches when PATH is not set.
    return environment->value(QStringLiteral("PATH"), QStringLiteral("/bin:/usr/bin")).split(QLatin1Char(':'));
}

QString replacedText(const QString &path)
{
    return QStringLiteral("%1 was replaced between its check and its start").arg(path);
}

QByteArray descriptorPath(int fd) { return "/proc/self/fd/" + QByteArray::number(fd); }

} // namespace

void ChildExec::nameProgram(const QString &name)
{
    // A folder of this user's that nobody else can add to, held open: what its link leads to
    // can't be changed under the child, wherever the temporary folder is.
    QByteArray folder;
    const int fd = makeExecFolder(QDir::tempPath(), folder);
    if (fd < 0) {
        return;
    }
    const QByteArray entry = QFile::encodeName(name);
    if (::symlinkat(descriptorPath(m_programFd).constData(), fd, entry.constData()) == 0) {
        m_nameFolder = fd;
        m_nameFolderPath = folder;
        m_nameEntry = entry;
        m_namedPath = descriptorPath(fd) + '/' + entry;
        return;
    }
    ::close(fd);
    ::rmdir(folder.constData());
}

void ChildExec::removeName()
{
    if (m_nameFolder < 0) {
        return;
    }
    ::unlinkat(m_nameFolder, m_nameEntry.constData(), 0);
    ::close(m_nameFolder);
    m_nameFolder = -1;
    ::rmdir(m_nameFolderPath.constData());
}

void ChildExec::openChecked(QString &path, const QStringList &searchPath, const QString &childsFolder)
{
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        const ProgramFile file = inspectProgramFile(path, ProgramUse::run, {}, searchPath, childsFolder);
        if (file.changeable) {
            m_refusal = QStringLiteral("%1 at %2 can be changed by another user (%3)")
                            .arg(QFileInfo(path).fileName(), path, *file.changeable);
            return;
        }
        // Nothing the check did not take is exec'd, not even to let the system say why it fails:
        // by then the path may lead to another file. A file replaced during the look gets
        // another look.
        m_unusable = file.unusable;
        if (m_unusable || !file.identity) {
            continue;
        }
        if (const int fd = openLookedAt(file); fd >= 0) {
            m_programFd = fd;
            m_identity = *file.identity;
            m_script = file.script;
            path = file.resolved;
            if (!m_script) {
                nameProgram(QFileInfo(path).fileName());
            }
            return;
        }
    }
    if (!m_unusable) {
        m_refusal = replacedText(path);
    }
}

ChildExec::ChildExec(const QString &program, const QStringList &arguments,
                     const std::optional<QProcessEnvironment> &environment, const QString &workingFolder)
    : m_workingFolder(QFile::encodeName(workingFolder))
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
        } else {
            m_unusable = QString::fromLocal8Bit(std::strerror(ENOENT));
        }
    }
    if (!m_refusal && !m_unusable) {
        // The child enters its folder from the helper's, or stays there; joined, not cleaned, so
        // that a ".." in it is taken where chdir(2) takes it.
        const QString current = QDir::currentPath();
        const QString childsFolder = workingFolder.isEmpty()               ? current
                                     : QDir::isAbsolutePath(workingFolder) ? workingFolder
                                                                           : current + QLatin1Char('/') + workingFolder;
        openChecked(path, searchPathOf(environment), childsFolder);
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
    removeName();
    for (int fd : {m_reportRead, m_reportWrite, m_programFd}) {
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
    char *const *envp = m_ownEnvironment ? m_envp.data() : environ;
    Report report{EPERM, false};
    int &error = report.error;
    if (!refused && !m_workingFolder.isEmpty() && ::chdir(m_workingFolder.constData()) != 0) {
        report = {errno, true};
    } else if (!refused && m_programFd >= 0 && !m_script) {
        // The process takes its name from the last part of the path it is exec'd by; by the
        // descriptor alone, kernels before 6.14 name it by the descriptor's number, which the
        // stale-process sweep and the desktop's process list can't recognise.
        if (!m_namedPath.isEmpty()) {
            ::execve(m_namedPath.constData(), m_argv.data(), envp);
        }
        ::execveat(m_programFd, "", m_argv.data(), envp, AT_EMPTY_PATH);
        error = errno;
    } else if (!refused && m_programFd >= 0) {
        // The interpreter opens the script by the path it is given, which the script also takes
        // for its own: that path must still lead to the file that was checked.
        struct stat st {};
        if (::fstatat(AT_FDCWD, m_path.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            FileIdentity{st.st_dev, st.st_ino} == m_identity) {
            ::execve(m_path.constData(), m_argv.data(), envp);
            error = errno;
        } else {
            error = kReplaced;
        }
    } else if (!refused) {
        error = kUnusable;
    }
    if (m_reportWrite >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(m_reportWrite, &report, sizeof report);
    }
    ::_exit(127);
}

void ChildExec::closeChildEnd()
{
    // The child has its own copy of the program's descriptor, or has no more use for it.
    if (m_programFd >= 0) {
        ::close(m_programFd);
        m_programFd = -1;
    }
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
    Report report;
    ssize_t n = 0;
    do {
        n = ::read(m_reportRead, &report, sizeof report);
    } while (n < 0 && errno == EINTR);
    ::close(m_reportRead);
    m_reportRead = -1;
    removeName();
    if (n == static_cast<ssize_t>(sizeof report)) {
        const int error = report.error;
        m_failure = report.inWorkingFolder
            ? QStringLiteral("Can't enter the folder %1: %2")
                  .arg(QFile::decodeName(m_workingFolder), QString::fromLocal8Bit(std::strerror(error)))
            : error == kReplaced ? replacedText(QFile::decodeName(m_path))
            : error == kUnusable ? m_unusable.value_or(QString())
                                 : QString::fromLocal8Bit(std::strerror(error));
    }
    return m_failure;
}

} // namespace cordavelle
