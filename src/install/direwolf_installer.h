#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace cordavelle {

// What is left of the time when the helper built its own Direwolf: where that copy lived, a
// look-up that still accepts it, and the version those builds stored. It installs nothing.
class DirewolfInstaller : public QObject {
    Q_OBJECT
public:
    explicit DirewolfInstaller(QObject *parent = nullptr);

    static DirewolfInstaller &shared();

    // The old helper-built folder, "direwolf" in the support folder.
    static QString direwolfDir();
    // The old helper-built binary.
    static QString legacyBinaryPath();
    // The old build first, then the package managers' copies, then this machine's own folders;
    // an Intel-only build is passed over on Apple silicon.
    static std::optional<QString> findDirewolf();

    // "direwolfInstalledVersion" of the standard defaults; empty when there is none.
    QString installedVersion() const;
};

} // namespace cordavelle
