#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>

namespace cordavelle::test {

// Makes a folder refuse new files for as long as it lives: by its permissions, or, when the
// tests run as root (whom permissions don't stop), by the file system's immutable attribute.
// `active()` is false when neither works here.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(QString path) : m_path(std::move(path))
    {
        m_permissions = QFile::permissions(m_path);
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup |
                                          QFile::ReadOther | QFile::ExeOther);
        if (!refusesNewFiles()) {
            m_immutable = QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), m_path}) == 0;
        }
        m_active = refusesNewFiles();
    }

    ~ReadOnlyFolder()
    {
        if (m_immutable) {
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
        }
        QFile::setPermissions(m_path, m_permissions);
    }

    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;

    bool active() const { return m_active; }

private:
    bool refusesNewFiles() const
    {
        QFile probe(m_path + QStringLiteral("/.write-probe"));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.close();
            probe.remove();
            return false;
        }
        return true;
    }

    QString m_path;
    QFile::Permissions m_permissions;
    bool m_immutable = false;
    bool m_active = false;
};

} // namespace cordavelle::test
