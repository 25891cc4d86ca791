#pragma once

#include "script_line.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace cordavelle {

// The exec of a QProcess child, done by the helper itself from the child-process modifier.
//
// When the exec fails, QProcess (Qt 6.4) leaves one pipe descriptor open in the helper, so every
// start of a program that can't be run costs a descriptor for good. With the exec done here, a
// failure never reaches Qt: the child reports the error through a pipe of this object and exits
// with 127, and the owner turns that into its failed start once QProcess says the child started.
class ChildExec {
public:
    // Prepares the exec of `program` (looked up on PATH when it has no slash, passing over a copy
    // that others could change) with `arguments`, in `environment`, or in the helper's own when
    // there is none. What is exec'd is the very file inspectProgramFile() looked at, held open from
    // the look to the exec, so that a file put in its place meanwhile runs nothing; a script runs
    // by that file's path with every link resolved (its own path as it sees it), after the child
    // has made sure the path still leads to that file. The program keeps the name it was given as
    // its argv[0], which programs that are one file under several names (pkill and pgrep) go by.
    // With a working folder the child enters it before the exec; without one it stays in the
    // helper's. A script's relative paths are checked from the folder the child will be in.
    ChildExec(const QString &program, const QStringList &arguments,
              const std::optional<QProcessEnvironment> &environment = std::nullopt,
              const QString &workingFolder = {});
    ~ChildExec();
    ChildExec(const ChildExec &) = delete;
    ChildExec &operator=(const ChildExec &) = delete;

    // Makes the child lead a process group of its own, so that it and whatever it starts can be
    // signalled together.
    void setOwnProcessGroup(bool own) { m_ownProcessGroup = own; }

    // Why the program is not run at all, without a child: someone other than root or this user
    // could change it, or it kept being replaced while it was looked at. Nothing when it may be run.
    const std::optional<QString> &refusal() const { return m_refusal; }

    // In the child, as the last step of the modifier: execs with the group's and others' write
    // added to the umask, or reports why not and exits.
    // Only async-signal-safe calls.
    [[noreturn]] void execInChild() const noexcept;
    // In the helper, right after QProcess::start: drops the child's end of the report pipe and
    // the program's descriptor, which the child holds now.
    void closeChildEnd();
    // In the helper, once the child has exec'd or ended (QProcess reported it started): the
    // system's text when the exec failed.
    std::optional<QString> failure();

private:
    // Looks at the program at `path` and opens the file looked at (then named in `path`), or
    // sets the refusal.
    void openChecked(QString &path, const QStringList &searchPath, const QString &childsFolder);
    // Makes a path named `name` that leads to the open program, for the child to exec it by;
    // without one the child execs the descriptor itself.
    void nameProgram(const QString &name);
    void removeName();

    QByteArray m_path;
    // The checked program, open from its check to the exec; -1 when the program can't be used.
    int m_programFd = -1;
    // Why the program can't be used as it stands, which the child reports instead of an exec.
    std::optional<QString> m_unusable;
    FileIdentity m_identity;
    bool m_script = false;
    // A private folder, held open, whose one link leads to m_programFd; m_namedPath reaches the
    // link through the held folder.
    int m_nameFolder = -1;
    QByteArray m_nameFolderPath;
    QByteArray m_nameEntry;
    QByteArray m_namedPath;
    std::vector<QByteArray> m_arguments;
    std::vector<QByteArray> m_environment;
    std::vector<char *> m_argv;
    std::vector<char *> m_envp;
    QByteArray m_workingFolder;
    bool m_ownEnvironment = false;
    bool m_ownProcessGroup = false;
    int m_reportRead = -1;
    int m_reportWrite = -1;
    std::optional<QString> m_failure;
    std::optional<QString> m_refusal;
    bool m_read = false;
};

} // namespace cordavelle
