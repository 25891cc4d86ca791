#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

namespace cordavelle::test {

// Writes `bytes` to `path`, making its folder first. False when the file could not be opened.
bool writeFile(const QString &path, const QByteArray &bytes);

// Writes a program as above, readable and writable by its owner only, and runnable by the owner
// when `executable` (a file that looks like a program but can't be run, when not).
bool writeProgram(const QString &path, const QByteArray &bytes = "#!/bin/sh\n", bool executable = true);

// A program (as writeProgram) or a folder (with the folders above it) given exactly `mode`, which
// the umask can't take from. False when either step failed.
bool writeProgramWithMode(const QString &path, const QByteArray &bytes, mode_t mode);
bool makeFolderWithMode(const QString &path, mode_t mode);

// The entries at and below `folder` (symbolic links aside) that the group or others may write to,
// or that belong to someone but this user.
QStringList othersMayWriteIn(const QString &folder);

// Sets the process's umask for the lifetime of the scope.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask);
    ~ScopedUmask();
    ScopedUmask(const ScopedUmask &) = delete;
    ScopedUmask &operator=(const ScopedUmask &) = delete;

private:
    mode_t m_previous;
};

// A temporary folder that fails the test running when the folder can't be removed at its end,
// naming what is left in it and why: an entry left there is most often written by a child of the
// test that outlived it, which the test run would otherwise only name after every test of the
// phase has ended.
class OwnTemporaryFolder {
public:
    // `pattern` as QTemporaryDir takes it.
    explicit OwnTemporaryFolder(const QString &pattern);
    ~OwnTemporaryFolder();
    OwnTemporaryFolder(const OwnTemporaryFolder &) = delete;
    OwnTemporaryFolder &operator=(const OwnTemporaryFolder &) = delete;

    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

// The file's contents; empty when it can't be read.
QByteArray readBytes(const QString &path);

// The SHA-256 of `bytes` in lower-case hex.
QString sha256Hex(const QByteArray &bytes);

// A formula document as the formula service gives it, of `version`, naming the bottle of `tag`
// at `url` with the SHA-256 given (else that of `bottle`).
QByteArray bottleFormula(const QString &version, const QString &url, const QByteArray &bottle,
                         const QString &tag = QStringLiteral("x86_64_linux"), const QString &sha256 = {});

// A binary property list of the dictionary {"deep": [[…[1]…]]}, `depth` arrays inside one
// another, written without recursion so that any depth can be made.
QByteArray nestedBinaryPropertyList(int depth);

} // namespace cordavelle::test
