#include "direwolf_installer.h"

#include "platform/platform.h"

namespace cordavelle {

DirewolfInstaller::DirewolfInstaller(QObject *parent) : QObject(parent) {}

DirewolfInstaller &DirewolfInstaller::shared()
{
    static DirewolfInstaller *instance = new DirewolfInstaller();
    return *instance;
}

QString DirewolfInstaller::installedVersion() const
{
    return Platform::current().standardDefaults().stringForKey(QStringLiteral("direwolfInstalledVersion")).value_or(QString());
}

} // namespace cordavelle
