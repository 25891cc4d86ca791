#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace cordavelle {

class Terminal;

// Finds a Direwolf and a Homebrew that a package manager installed, and opens a terminal on a
// small script that installs Homebrew, or installs or upgrades Direwolf through it. The user
// drives the install in the terminal; the next look-up shows the outcome.
class DirewolfDiscovery : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::optional<QString> direwolfPath READ direwolfPath WRITE setDirewolfPath NOTIFY direwolfPathChanged)
    Q_PROPERTY(std::optional<QString> brewPath READ brewPath WRITE setBrewPath NOTIFY brewPathChanged)
public:
    static const QStringList kHomebrewPrefixes;
    // The official one-line Homebrew installer.
    static const QString kHomebrewInstallCommand;

    // The command that installs Direwolf on this computer: the system's package manager where
    // there is one (`aptGetPath`), else `brewPath`'s; none when neither exists.
    static std::optional<QString> installCommand(const std::optional<QString> &aptGetPath,
                                                 const std::optional<QString> &brewPath);

    // Looks both up once.
    explicit DirewolfDiscovery(Terminal &terminal, QObject *parent = nullptr);

    // The one instance, made on first use.
    static DirewolfDiscovery &shared();

    const std::optional<QString> &direwolfPath() const { return m_direwolfPath; }
    void setDirewolfPath(std::optional<QString> path);
    const std::optional<QString> &brewPath() const { return m_brewPath; }
    void setBrewPath(std::optional<QString> path);

    bool isDirewolfInstalled() const { return m_direwolfPath.has_value(); }
    bool isHomebrewInstalled() const { return m_brewPath.has_value(); }

    // Looks both up again: Direwolf first, then brew.
    void refresh();

    // "/opt/homebrew", "/opt/local" or "/usr/local" when `direwolfPath` lies below it.
    std::optional<QString> discoveredHomebrewPrefix() const;

    // Installs Direwolf with brew, or Homebrew first when there is none.
    void openTerminalToInstallDirewolf();
    void openTerminalToInstallHomebrew();
    // Does nothing without brew.
    void openTerminalToUpgradeDirewolf();
    // Writes the command into a self-deleting script and opens a terminal on it. When that
    // fails, it is logged and `terminalUnavailable` hands the command on, for the user to run.
    void runInTerminal(const QString &command);

    // Writes the script into the terminal's private folder (the script only for its owner) and
    // returns its path. Throws FileError.
    QString writeCommandScript(const QString &command);
    static QString commandScriptText(const QString &command);

Q_SIGNALS:
    void direwolfPathChanged();
    void brewPathChanged();
    // No terminal could be opened on `command`: nothing runs it unless the user does.
    void terminalUnavailable(const QString &command);

private:
    Terminal &m_terminal;
    std::optional<QString> m_direwolfPath;
    std::optional<QString> m_brewPath;
};

} // namespace cordavelle
