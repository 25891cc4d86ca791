#pragma once

#include "install/installer.h"
#include "platform/described_error.h"
#include "platform/program_search.h"

#include <QByteArray>
#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <stop_token>

namespace cordavelle {

class ChildProcess;
class Clock;
class ConfigStore;
class InstallLog;
class ServiceControl;
class ToolLocator;
class WineInstaller;
class WinePrefixHold;

// A failed step of the prefix set-up, in the words shown to the user.
class WinePrefixError : public DescribedError {
public:
    enum class Case { processExited, timeout, winetricksNotFound };

    // `step` failed with the tool's exit status (or the number of the signal that ended it).
    static WinePrefixError processExited(const QString &step, int code);
    static WinePrefixError timeout(const QString &step);
    // `passedOver`: the winetricks the look-up did not take because another user could change it.
    static WinePrefixError winetricksNotFound(const std::optional<PassedOver> &passedOver = std::nullopt);

    Case errorCase() const { return m_case; }
    const QString &step() const { return m_step; }
    int code() const { return m_code; }

private:
    WinePrefixError(Case errorCase, QString step, int code, QString description);

    Case m_case;
    QString m_step;
    int m_code;
};

// The helper's one Wine prefix, where VARA HF and VARA FM run: its set-up (wineboot, the audio
// defaults in its registry, cabextract where winetricks finds it, the runtime packages VARA needs),
// cancelling that set-up, and deleting the prefix. Views follow `state` and `logLines` through
// the change signals. Main thread only.
class WinePrefixManager final : public Installer {
    Q_OBJECT
public:
    class State {
    public:
        enum class Kind { idle, initializing, ready, error };

        State() = default;
        static State idle() { return State(Kind::idle); }
        // A step is at work; `step` is shown to the user.
        static State initializing(QString step) { return State(Kind::initializing, std::move(step)); }
        static State ready() { return State(Kind::ready); }
        static State error(QString message) { return State(Kind::error, std::move(message)); }
        // The prefix's deletion runs, past the point where it could be cancelled.
        static State removing(QString step)
        {
            State state(Kind::initializing, std::move(step));
            state.m_removal = true;
            return state;
        }
        // The prefix's deletion failed: its retry is the deletion's, not a set-up.
        static State removalError(QString message)
        {
            State state(Kind::error, std::move(message));
            state.m_removal = true;
            return state;
        }

        Kind kind() const { return m_kind; }
        // The step's text while initializing, the failure's text in the error state.
        const QString &text() const { return m_text; }
        bool isRemovalError() const { return m_kind == Kind::error && m_removal; }
        bool isRemoving() const { return m_kind == Kind::initializing && m_removal; }
        bool operator==(const State &) const = default;

    private:
        explicit State(Kind kind, QString text = {}) : m_kind(kind), m_text(std::move(text)) {}
        Kind m_kind = Kind::idle;
        bool m_removal = false;
        QString m_text;
    };

    // Where the set-up finds the tools it runs; each look-up is made when the step needs it.
    class Tools {
    public:
        virtual ~Tools() = default;
        virtual std::optional<QString> findWine() = 0;
        virtual std::optional<QString> findWinetricks() = 0;
        // The cabextract of the helper's own tools folder, which the Wine installer provides.
        virtual QString cabextractSource() = 0;
        // Fetches cabextract to `cabextractSource()`; throws when it can't.
        virtual QCoro::Task<void> installCabextract(std::stop_token stop) = 0;
        // Fetches the helper's own winetricks, which `findWinetricks()` then finds; throws when it can't.
        virtual QCoro::Task<void> installWinetricks(std::stop_token stop) = 0;
    };

    struct Collaborators {
        ConfigStore &config;
        InstallLog &log;
        // The orchestrator, which stops the modems before their prefix goes.
        ServiceControl &services;
        // Shared with the VARA installers: the set-up and the removal work in the prefix only
        // while they have it.
        WinePrefixHold &prefixHold;
        Clock &clock;
        // Places the fixed folders winetricks' search path names.
        const ToolLocator &locator;
        QString prefix;
        Tools &tools;
    };

    static constexpr std::chrono::seconds kRunTimeLimit{300};
    static constexpr int kMaxLogLines = 1000;

    explicit WinePrefixManager(Collaborators with, QObject *parent = nullptr);
    // A running set-up or removal is told to stop, its tool ended, and waited for.
    ~WinePrefixManager() override;

    // "setup.log" in the support folder, the file the install log writes; made with a header
    // line when it is missing.
    QString logFileURL() const;
    // The instance on the orchestrator, the stored settings and the helper's own Wine tools.
    static WinePrefixManager &shared();

    const State &state() const { return m_state; }
    // What `state` and `busy` mean to the views.
    static InstallProgress progressOf(const State &state, bool busy = false);
    InstallProgress progress() const override { return progressOf(m_state, m_busy); }
    // Present once made and holding both runtime libraries; a prefix has no version.
    InstalledCopy installedCopy() const override { return {isInitialized() && hasDependencies(), {}}; }
    // Whether a set-up task runs; it stays true after cancel() until the task has ended.
    bool isBusy() const { return m_busy; }
    const QString &prefixPath() const { return m_with.prefix; }
    // The prefix has been made: its "drive_c/windows/system32" folder exists.
    bool isInitialized() const;
    // Both runtime files VARA needs (msvbvm60.dll and pdh.dll) are in the prefix, each in the
    // 32-bit or the 64-bit system folder.
    bool hasDependencies() const { return hasDependencies(m_with.prefix); }
    static bool hasDependencies(const QString &prefix);

    // Starts the full set-up, unless one is still running.
    void startFullSetup();
    void start() override { startFullSetup(); }
    // Ends the running tool, stops the set-up task and goes back to idle; while a removal runs,
    // ends it instead before it deletes anything, and the prefix stays.
    void cancel() override;
    // Ends a set-up of its own, waits while a VARA install works in the prefix, stops both
    // modems and removes the prefix; both VARA install records are cleared once the prefix is
    // gone. A second call while one runs does nothing.
    QCoro::Task<void> deletePrefix();

    // Runs one tool of a set-up step with `environment`, its output streaming into the log, for
    // at most kRunTimeLimit. Throws WinePrefixError for a non-zero exit or a time-out, HelperError
    // when the tool can't be launched and OperationCancelled once `stop` is requested.
    QCoro::Task<void> runProcess(QString executable, QStringList arguments, QProcessEnvironment environment,
                                 QString step, std::stop_token stop);

    // SIGTERM to a tool of the set-up and whatever it started.
    static void terminate(ChildProcess *child);

Q_SIGNALS:
    void stateChanged();
    void busyChanged();

private:
    QCoro::Task<void> fullSetup(std::stop_token stop);
    QCoro::Task<void> initializePrefix(std::stop_token stop);
    QCoro::Task<void> configureAudioDefaults(QString winePath, std::stop_token stop);
    // Both with `toolsFolder`, the set-up's one folder of staged tools, asked for once per set-up
    // so that winetricks searches the very folder cabextract was staged in.
    QCoro::Task<void> ensureCabextract(QString toolsFolder, std::stop_token stop);
    QCoro::Task<void> installDependencies(QString toolsFolder, std::stop_token stop);
    // After a failed or cancelled set-up that made the prefix: ends its wine server and removes it.
    QCoro::Task<void> removeUnfinishedPrefix();

    // Takes the prefix's hold as `holder`, showing whom it waits for meanwhile; false when
    // `stop` came first.
    QCoro::Task<bool> holdPrefix(const void *holder, QString name, std::stop_token stop,
                                 std::optional<QString> removes = std::nullopt);
    void setState(State state);
    void setBusy(bool busy);
    void initLogFile();
    void appendLog(const QString &message);
    // A tool's output lines: on screen (the oldest dropped past kMaxLogLines) and in the install log.
    void appendOutput(const QStringList &lines);
    void terminateCurrentProcess();

    Collaborators m_with;
    State m_state;
    bool m_busy = false;
    // A removal runs; its hold is taken under this member's address, apart from the set-up's.
    bool m_deleting = false;
    std::stop_source m_stop;
    // Ends a removal's wait for the prefix: stopped by cancel() and by the destructor.
    std::stop_source m_removalStop;
    QPointer<ChildProcess> m_currentProcess;
};

// The program's tools for the prefix: the Wine and winetricks the tool look-ups find, and the
// cabextract that the Wine installer fetches into the helper's own tools folder.
class InstalledPrefixTools final : public WinePrefixManager::Tools {
public:
    explicit InstalledPrefixTools(WineInstaller &wine) : m_wine(wine) {}
    std::optional<QString> findWine() override;
    std::optional<QString> findWinetricks() override;
    QString cabextractSource() override;
    QCoro::Task<void> installCabextract(std::stop_token stop) override;
    QCoro::Task<void> installWinetricks(std::stop_token stop) override;

private:
    WineInstaller &m_wine;
};

} // namespace cordavelle
