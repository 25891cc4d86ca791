#include "direwolf_installer.h"

#include "platform/platform.h"

namespace cordavelle {

DirewolfInstaller::DirewolfInstaller(UserDefaults &defaults, QObject *parent) : QObject(parent), m_defaults(defaults) {}

DirewolfInstaller &DirewolfInstaller::shared()
{
    static DirewolfInstaller *instance = new DirewolfInstaller(Platform::current().standardDefaults());
    return *instance;
}

QString DirewolfInstaller::installedVersion() const
{
    return m_defaults.stringForKey(QStringLiteral("direwolfInstalledVersion")).value_or(QString());
}

} // namespace cordavelle
