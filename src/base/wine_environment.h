#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace cordavelle {

// How the helper runs Wine: every run works in the helper's own prefix and inherits the helper's
// environment with WINEPREFIX pointing there (replacing any inherited value); some runs add more.
// The argument lists are the ones the rest of the helper relies on.
class WineEnvironment {
public:
    WineEnvironment() = delete;

    // The helper's prefix: the support folder's "wine-prefix".
    static QString prefixPath();
    // The prefix's per-user registry, where Wine's audio drivers record the devices they met.
    static QString userRegistryFile(const QString &prefix = prefixPath());
    // "drive_c/windows/system32", which exists once wineboot has made the prefix.
    static QString system32Folder(const QString &prefix = prefixPath());

    // `wineserver -k` and `wineserver -w`: the inherited environment plus WINEPREFIX.
    static QProcessEnvironment base(const QString &prefix = prefixPath());
    // wineboot and `reg add`: also WINEARCH "win64" and WINEDEBUG "fixme-all".
    static QProcessEnvironment prefixSetup(const QString &prefix = prefixPath());
    // A setup program or the modem itself: also WINEDEBUG "fixme-all".
    static QProcessEnvironment program(const QString &prefix = prefixPath());
    // winetricks: the prefix set-up's variables plus WINE, WINESERVER (beside `winePath`),
    // PATH (Wine's folder, `toolsFolder`, the helper's private folder of staged tools, then the
    // usual tool folders), HOME and USER.
    static QProcessEnvironment winetricks(const QString &winePath, const QString &toolsFolder, const QString &home,
                                          const QString &userName, const QString &prefix = prefixPath());

    static QStringList winebootInitArguments();
    // Stores `data` as a string value (no type given) and overwrites without asking.
    static QStringList regAddArguments(const QString &key, const QString &valueName, const QString &data);
    static QStringList winetricksArguments(const QString &package);
    static QStringList wineserverKillArguments();
    static QStringList wineserverWaitArguments();
};

} // namespace cordavelle
