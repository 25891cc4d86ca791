#pragma once

#include <QObject>
#include <QString>

namespace cordavelle {

// What is left of the time when the helper built its own Direwolf: the version those builds
// stored. It installs nothing; where that copy lived is in helper_places, and the look-up that
// still accepts it is tools::resolveDirewolf().
class DirewolfInstaller : public QObject {
    Q_OBJECT
public:
    explicit DirewolfInstaller(QObject *parent = nullptr);

    static DirewolfInstaller &shared();

    // "direwolfInstalledVersion" of the standard defaults; empty when there is none.
    QString installedVersion() const;
};

} // namespace cordavelle
