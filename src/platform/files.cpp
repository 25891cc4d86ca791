#include "files.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle {

void writeFileAtomically(const QString &path, const QByteArray &bytes, unsigned permissions)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        throw FileError(QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
    }
    if (file.write(bytes) != bytes.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throw FileError(QStringLiteral("Could not write %1: %2").arg(path, reason));
    }
    // The mode is set on the temporary file, so the name never points at a file with looser
    // permissions than asked for.
    if (permissions != 0 && ::fchmod(file.handle(), permissions) != 0) {
        const int err = errno;
        file.cancelWriting();
        throw FileError(QStringLiteral("Could not set permissions of %1: %2")
                            .arg(path, QString::fromLocal8Bit(std::strerror(err))));
    }
    if (!file.commit()) {
        throw FileError(QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
    }
}

bool moveAsideAsCorrupt(const QString &path)
{
    const QString aside = path + QStringLiteral(".corrupt");
    QFile::remove(aside);
    return QFile::rename(path, aside);
}

int removeLeftoverTemporaryFiles(const QString &path)
{
    const QFileInfo info(path);
    // The names QSaveFile gives its temporary file where the file system has no unnamed ones.
    const QRegularExpression temporary(
        QStringLiteral("^%1\\.[A-Za-z0-9]{6}$").arg(QRegularExpression::escape(info.fileName())));
    QDir folder = info.absoluteDir();
    int removed = 0;
    for (const QString &name : folder.entryList({info.fileName() + QStringLiteral(".*")},
                                                QDir::Files | QDir::Hidden | QDir::System)) {
        if (temporary.match(name).hasMatch() && folder.remove(name)) {
            ++removed;
        }
    }
    return removed;
}

void makePrivateFolder(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        throw FileError(QStringLiteral("Could not create %1").arg(info.absolutePath()));
    }
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        const int err = errno;
        throw FileError(QStringLiteral("Could not create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(err))));
    }
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        const int err = errno;
        throw FileError(QStringLiteral("Could not inspect %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(err))));
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        throw FileError(QStringLiteral("%1 is not a private folder of this user").arg(path));
    }
    if ((st.st_mode & 07777) != 0700 && ::chmod(native.constData(), 0700) != 0) {
        const int err = errno;
        throw FileError(QStringLiteral("Could not restrict %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(err))));
    }
}

bool restrictToOwner(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        return errno == ENOENT;
    }
    if (S_ISLNK(st.st_mode) || st.st_uid != ::geteuid()) {
        return true;
    }
    if ((st.st_mode & 077) == 0) {
        return true;
    }
    return ::chmod(native.constData(), st.st_mode & 07700) == 0;
}

Removal removeTree(const QString &path, QString *description)
{
    namespace fs = std::filesystem;
    const fs::path native = QDir::toNativeSeparators(path).toStdString();
    std::error_code error;
    if (!fs::exists(fs::symlink_status(native, error))) {
        return Removal::absent;
    }
    fs::remove_all(native, error);
    if (error) {
        *description = QString::fromStdString(error.message());
        return Removal::failed;
    }
    return Removal::removed;
}

} // namespace cordavelle
