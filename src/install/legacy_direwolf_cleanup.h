#pragma once

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace cordavelle {

class CommandRunner;
class ConfigStore;
class ServiceOrchestrator;
class UserDefaults;

// The Direwolf folder that earlier helpers built for themselves is dead weight once another
// Direwolf is in use. This finds it, measures it, removes it when asked, and remembers that the
// user turned the offer down.
//
// Main thread only.
class LegacyDirewolfCleanup final : public QObject {
    Q_OBJECT
public:
    // The Direwolf programs in use at the moment of asking.
    using BinariesInUse = std::function<QStringList()>;

    LegacyDirewolfCleanup(UserDefaults &defaults, BinariesInUse binariesInUse, QObject *parent = nullptr);

    // Reads the standard defaults, the shared configuration and the shared orchestrator.
    static LegacyDirewolfCleanup &shared();

    // The Direwolf a start would run by choice and the one running now: the configured path,
    // when there is one, and the running Direwolf's program file.
    static QStringList direwolfBinariesInUse(const ConfigStore &config, const ServiceOrchestrator &orchestrator,
                                             CommandRunner &runner);
    // The first of `binaries` that lies inside `folder` (links resolved), if any. A folder that
    // holds the Direwolf in use is never removed, and its removal is never offered.
    static std::optional<QString> binaryInside(const QString &folder, const QStringList &binaries);

    bool isPromptDismissed() const { return m_isPromptDismissed; }
    // Whether the old folder is there (a file in its place does not count).
    bool isLegacyInstallPresent() const;
    // The Direwolf in use that lies in the old folder, if one does.
    std::optional<QString> legacyBinaryInUse() const;

    // Bytes the regular files below `folder` take on disk, hidden entries left out; none when
    // the folder can't be listed.
    static std::optional<qint64> directorySize(const QString &folder);

    // Removes the old folder with everything in it, off the helper's thread; nothing when it is
    // gone already. Throws FileError when its removal runs already, it holds the Direwolf in use
    // or it can't be removed.
    QCoro::Task<void> removeLegacyInstall();
    // Hides the offer for good; returns why it could not be stored, the offer then staying.
    std::optional<QString> dismissPrompt();

Q_SIGNALS:
    void isPromptDismissedChanged();

private:
    UserDefaults &m_defaults;
    BinariesInUse m_binariesInUse;
    bool m_isPromptDismissed = false;
    bool m_removing = false;
};

} // namespace cordavelle
