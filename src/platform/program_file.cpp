#include "program_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

namespace {

bool ownedBySafeUser(const struct stat &st) { return st.st_uid == 0 || st.st_uid == ::geteuid(); }

std::optional<QString> canonical(const QString &path)
{
    char resolved[PATH_MAX];
    if (!::realpath(QFile::encodeName(path).constData(), resolved)) {
        return std::nullopt;
    }
    return QFile::decodeName(resolved);
}

// The folder and each one above it, up to "/".
std::optional<QString> unsafeFolderChain(QString folder)
{
    while (true) {
        struct stat st {};
        if (::stat(QFile::encodeName(folder).constData(), &st) != 0) {
            return QStringLiteral("%1 can't be inspected: %2").arg(folder, QString::fromLocal8Bit(std::strerror(errno)));
        }
        if (!ownedBySafeUser(st)) {
            return QStringLiteral("the folder %1 belongs to another user").arg(folder);
        }
        // Someone else could put another program in the file's place.
        const bool sticky = (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0;
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
            return QStringLiteral("the folder %1 can be changed by other users").arg(folder);
        }
        if (folder == QLatin1String("/")) {
            return std::nullopt;
        }
        folder = QFileInfo(folder).path();
    }
}

} // namespace

std::optional<QString> untrustedProgramReason(const QString &path)
{
    if (!path.startsWith(QLatin1Char('/'))) {
        return QStringLiteral("%1 is not an absolute path").arg(path);
    }
    const QString cleaned = QDir::cleanPath(path);
    struct stat st {};
    if (::stat(QFile::encodeName(cleaned).constData(), &st) != 0) {
        return QStringLiteral("%1 can't be used: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    }
    if (!S_ISREG(st.st_mode)) {
        return QStringLiteral("%1 is not a regular file").arg(path);
    }
    if (!ownedBySafeUser(st)) {
        return QStringLiteral("%1 belongs to another user").arg(path);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return QStringLiteral("%1 can be changed by other users").arg(path);
    }
    // The folders of the name as given (a link there could be replaced) and of the file it
    // leads to.
    const std::optional<QString> folder = canonical(QFileInfo(cleaned).path());
    const std::optional<QString> file = canonical(cleaned);
    if (!folder || !file) {
        return QStringLiteral("%1 can't be resolved").arg(path);
    }
    if (auto reason = unsafeFolderChain(*folder)) {
        return reason;
    }
    if (auto reason = unsafeFolderChain(QFileInfo(*file).path())) {
        return reason;
    }
    return std::nullopt;
}

} // namespace cordavelle
