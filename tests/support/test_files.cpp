#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace cordavelle::test {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write(bytes);
    return true;
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

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace cordavelle::test
