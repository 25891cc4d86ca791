#include "test_files.h"

#include "platform/files.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QDirIterator>

#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace cordavelle::test {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    // Not absolutePath(): cleaned as text, "link/.." names another folder than the file's.
    QDir().mkpath(folderOf(path));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(bytes);
    return true;
}

OwnTemporaryFolder::OwnTemporaryFolder(const QString &pattern)
    : m_dir(pattern)
{
    m_dir.setAutoRemove(false);
}

OwnTemporaryFolder::~OwnTemporaryFolder()
{
    if (!m_dir.isValid()) {
        return;
    }
    namespace fs = std::filesystem;
    const fs::path folder(QFile::encodeName(m_dir.path()).toStdString());
    std::error_code error;
    fs::remove_all(folder, error);
    if (!error) {
        return;
    }
    std::string left;
    int named = 0;
    std::error_code listing;
    for (fs::recursive_directory_iterator entry(folder, fs::directory_options::skip_permission_denied, listing), end;
         !listing && entry != end; entry.increment(listing)) {
        if (++named > 20) {
            left += " …";
            break;
        }
        left += ' ' + entry->path().lexically_relative(folder).string();
    }
    ADD_FAILURE() << "The test's temporary folder " << folder.string() << " could not be removed: "
                  << error.message() << " (errno " << error.value() << "); left in it:"
                  << (left.empty() ? std::string(" nothing by now") : left);
}

bool writeProgram(const QString &path, const QByteArray &bytes, bool executable)
{
    if (!writeFile(path, bytes)) {
        return false;
    }
    const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner;
    QFile::setPermissions(path, executable ? owner | QFile::ExeOwner : owner);
    return true;
}

bool writeProgramWithMode(const QString &path, const QByteArray &bytes, mode_t mode)
{
    return writeProgram(path, bytes) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

bool makeFolderWithMode(const QString &path, mode_t mode)
{
    return QDir().mkpath(path) && ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString sha256Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QByteArray bottleFormula(const QString &version, const QString &url, const QByteArray &bottle, const QString &tag,
                         const QString &sha256)
{
    return QStringLiteral(R"({"versions":{"stable":"%1"},"bottle":{"stable":{"files":{"%2":{"url":"%3","sha256":"%4"}}}}})")
        .arg(version, tag, url, sha256.isEmpty() ? sha256Hex(bottle) : sha256)
        .toUtf8();
}

QByteArray nestedBinaryPropertyList(int depth)
{
    // Objects: 0 the dictionary, 1 the key, 2 … depth+1 the arrays, depth+2 the integer; every
    // reference and offset takes 4 bytes.
    const auto be32 = [](quint32 v) {
        const char bytes[] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
        return QByteArray(bytes, 4);
    };
    QByteArray out("bplist00");
    std::vector<quint32> offsets;
    offsets.push_back(out.size());
    out += '\xd1' + be32(1) + be32(2);
    offsets.push_back(out.size());
    out += QByteArray("\x54") + "deep";
    for (int i = 0; i < depth; ++i) {
        offsets.push_back(out.size());
        out += '\xa1' + be32(quint32(i + 3));
    }
    offsets.push_back(out.size());
    out += QByteArray("\x10\x01");
    const quint32 table = out.size();
    for (const quint32 offset : offsets) {
        out += be32(offset);
    }
    out += QByteArray(6, '\0') + char(4) + char(4);
    out += be32(0) + be32(quint32(offsets.size())) + be32(0) + be32(0) + be32(0) + be32(table);
    return out;
}

QStringList othersMayWriteIn(const QString &folder)
{
    QStringList found;
    QStringList paths{folder};
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        paths << it.next();
    }
    for (const QString &path : paths) {
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0 ||
            (!S_ISLNK(st.st_mode) && ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_uid != ::geteuid()))) {
            found << path;
        }
    }
    return found;
}

ScopedUmask::ScopedUmask(mode_t mask) : m_previous(::umask(mask)) {}

ScopedUmask::~ScopedUmask() { ::umask(m_previous); }

} // namespace cordavelle::test
