#include "wine_environment.h"

#include "base/helper_places.h"

#include <QFileInfo>

namespace cordavelle {

QString WineEnvironment::prefixPath() { return places::winePrefix(); }

QString WineEnvironment::userRegistryFile(const QString &prefix) { return prefix + QStringLiteral("/user.reg"); }

QString WineEnvironment::system32Folder(const QString &prefix)
{
    return prefix + QStringLiteral("/drive_c/windows/system32");
}

QProcessEnvironment WineEnvironment::base(const QString &prefix)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("WINEPREFIX"), prefix);
    return environment;
}

QProcessEnvironment WineEnvironment::prefixSetup(const QString &prefix)
{
    QProcessEnvironment environment = base(prefix);
    environment.insert(QStringLiteral("WINEARCH"), QStringLiteral("win64"));
    environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("fixme-all"));
    return environment;
}

QProcessEnvironment WineEnvironment::program(const QString &prefix)
{
    QProcessEnvironment environment = base(prefix);
    environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("fixme-all"));
    return environment;
}

QProcessEnvironment WineEnvironment::winetricks(const QString &winePath, const QString &toolsFolder, const QString &home,
                                                const QString &userName, const QString &prefix)
{
    const QString wineFolder = QFileInfo(winePath).path();
    QProcessEnvironment environment = prefixSetup(prefix);
    environment.insert(QStringLiteral("WINE"), winePath);
    environment.insert(QStringLiteral("WINESERVER"), wineFolder + QStringLiteral("/wineserver"));
    environment.insert(QStringLiteral("PATH"), wineFolder + u':' + toolsFolder +
                                                   QStringLiteral(":/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin"));
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("USER"), userName);
    return environment;
}

QStringList WineEnvironment::winebootInitArguments() { return {QStringLiteral("wineboot"), QStringLiteral("--init")}; }

QStringList WineEnvironment::regAddArguments(const QString &key, const QString &valueName, const QString &data)
{
    return {QStringLiteral("reg"), QStringLiteral("add"), key, QStringLiteral("/v"), valueName,
            QStringLiteral("/d"),  data,                  QStringLiteral("/f")};
}

QStringList WineEnvironment::winetricksArguments(const QString &package)
{
    return {QStringLiteral("-q"), QStringLiteral("--force"), package};
}

QStringList WineEnvironment::wineserverKillArguments() { return {QStringLiteral("-k")}; }

QStringList WineEnvironment::wineserverWaitArguments() { return {QStringLiteral("-w")}; }

} // namespace cordavelle
