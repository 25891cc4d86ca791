#pragma once

#include <QObject>
#include <QString>

namespace cordavelle {

class UserDefaults;

// What is left of the time when the helper built its own Direwolf: the version those builds
// stored. It installs nothing; where that copy lived is in helper_places, and the look-up that
// still accepts it is tools::resolveDirewolf().
class DirewolfInstaller : public QObject {
    Q_OBJECT
public:
    explicit DirewolfInstaller(UserDefaults &defaults, QObject *parent = nullptr);

    // The instance on the standard defaults.
    static DirewolfInstaller &shared();

    // "direwolfInstalledVersion" of the defaults; empty when there is none.
    QString installedVersion() const;

private:
    UserDefaults &m_defaults;
};

} // namespace cordavelle
