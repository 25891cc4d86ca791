#include "direwolf_installer.h"

#include "core/config_store.h"
#include "platform/platform.h"
#include "platform/tool_locator.h"
#include "radio/direwolf_discovery.h"

namespace cordavelle {

DirewolfInstaller::DirewolfInstaller(QObject *parent) : QObject(parent) {}

DirewolfInstaller &DirewolfInstaller::shared()
{
    static DirewolfInstaller *instance = new DirewolfInstaller();
    return *instance;
}

QString DirewolfInstaller::direwolfDir() { return ConfigStore::appSupportDir() + QStringLiteral("/direwolf"); }

QString DirewolfInstaller::legacyBinaryPath() { return direwolfDir() + QStringLiteral("/bin/direwolf"); }

std::optional<QString> DirewolfInstaller::findDirewolf()
{
    const QString legacy = legacyBinaryPath();
    if (ToolLocator::isExecutableFile(legacy) && DirewolfDiscovery::passesArchitectureCheck(legacy)) {
        return legacy;
    }
    return DirewolfDiscovery::findDirewolf();
}

QString DirewolfInstaller::installedVersion() const
{
    return Platform::current().standardDefaults().stringForKey(QStringLiteral("direwolfInstalledVersion")).value_or(QString());
}

} // namespace cordavelle
