#pragma once

#include "base/service_model.h"
#include "install/installer.h"
#include "platform/described_error.h"

#include <QByteArray>
#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QMap>
#include <QUrl>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>

namespace cordavelle {

class Clock;
class CommandRunner;
class ConfigStore;
class HttpClient;
class InstallLog;
class ServiceControl;
class WinePrefixHold;
struct Command;
struct CommandResult;
struct VARAConfigFields;

// What can go wrong in a VARA install that is the installer's own doing; `what()` is the text
// shown to the user.
class VARAInstallerError : public DescribedError {
public:
    enum class Kind {
        installFailed,
        verificationFailed,
        downloadPageParseFailed,
        noDownloadFound,
        unsafeDownloadName,
        extractionFailed,
        extractionTimedOut,
        installerNotFound,
        installTimedOut,
        prefixNotReady,
    };

    explicit VARAInstallerError(Kind kind, int exitCode = 0, QString detail = {});

    Kind kind() const { return m_kind; }
    int exitCode() const { return m_exitCode; }

private:
    static QString describe(Kind kind, int exitCode, const QString &detail);

    Kind m_kind;
    int m_exitCode;
};

// A setup archive the downloads page offers.
struct VARARelease {
    QString latestVersion;
    QUrl downloadURL;
    bool operator==(const VARARelease &) const = default;
};

// The link's file name, percent-decoded once; none when it is empty, ".", ".." or holds a "/" or
// a NUL, since it becomes a file name inside the download folder.
std::optional<QString> safeDownloadFileName(const QUrl &url);
// The dotted version in a setup archive's file name ("VARA HF 4.8.7 setup.zip" gives "4.8.7").
std::optional<QString> versionFromFileName(const QString &fileName);
// The download link of the last setup archive of `variant` that `page` lists, resolved against
// `pageURL`. Throws VARAInstallerError.
QUrl downloadLinkInPage(const QByteArray &page, const QUrl &pageURL, VARAVariant variant);

// Downloads, installs, checks for updates of and removes one VARA modem in the helper's Wine
// prefix. Observable: every change of `state` and `logLines` is signalled.
class VARAInstaller : public Installer {
    Q_OBJECT
public:
    struct State {
        // `removing`: the uninstall's removal of the modem's folder runs.
        enum class Kind { idle, downloading, extracting, installing, fixingOCX, verifying, complete, error, removing };
        Kind kind = Kind::idle;
        // Of `downloading`, 0.0 to 1.0.
        double progress = 0.0;
        // Of `error`.
        QString error;
        // Of `error`: the uninstall failed, and a retry repeats it.
        bool removal = false;

        static State downloading(double fraction) { return {Kind::downloading, fraction, {}, false}; }
        static State failed(QString text) { return {Kind::error, 0.0, std::move(text), false}; }
        static State removalFailed(QString text) { return {Kind::error, 0.0, std::move(text), true}; }
        bool operator==(const State &) const = default;
    };

    struct Collaborators {
        ConfigStore &config;
        HttpClient &http;
        CommandRunner &commands;
        Clock &clock;
        InstallLog &installLog;
        // The orchestrator: a running modem is stopped before its removal, and keeps the prefix's
        // Wine processes from being ended.
        ServiceControl &services;
        // Shared with the other modem's installer, since both install into one prefix.
        WinePrefixHold &prefixHold;
        // The download page's address.
        QUrl downloadsPage;
    };

    VARAInstaller(VARAVariant variant, Collaborators with, QObject *parent = nullptr);
    // A flow still running is stopped and waited for, since it refers to this installer.
    ~VARAInstaller() override;

    // The two modems' installers, on the shared configuration and the platform in force.
    static VARAInstaller &hf();
    static VARAInstaller &fm();

    VARAVariant variant() const { return m_variant; }
    State state() const { return m_state; }
    // What `state` and `installing` mean to the views.
    static InstallProgress progressOf(const State &state, bool installing = false);
    InstallProgress progress() const override { return progressOf(m_state, m_installing); }
    QString installDir() const;
    QString exePath() const;
    // "v" + the recorded version while the modem's program is on disk; none otherwise.
    std::optional<QString> installedVersion() const;
    // The program on disk and the version its record holds.
    InstalledCopy installedCopy() const override;

    // Stamps `message` with the time of day and adds it to the log lines and the install log.
    void appendLog(const QString &message);

    // The newest setup archive on the downloads page; none when the page names no version or
    // can't be read (which is logged). The installed version is not compared here.
    QCoro::Task<std::optional<VARARelease>> checkForUpdate();

    // Stops the modem's running service, removes the modem's folder and clears its record. When
    // the folder can't be removed the record stays and `state` tells why; returns whether it went.
    // Refused, with uninstallRefusal() in the log, while this modem's install runs; a second
    // call while one runs returns false at once. An install is refused while it runs.
    QCoro::Task<bool> uninstall();
    static QString uninstallRefusal(VARAVariant variant);

    // Starts the install flow unless one is still running (a cancelled one included); returns
    // whether it started.
    bool startInstall();
    void start() override { startInstall(); }
    // Stops the running flow, which ends in idle once it has stopped; its own Wine programs end,
    // and every Wine process of the prefix too while this installer has the prefix and no VARA
    // modem runs. With no flow running, goes to idle at once.
    void cancel() override;
    // From startInstall() until the flow has really ended, also after a cancel.
    bool isInstalling() const { return m_installing; }
    // Goes from the error state to idle: what the failure concerned (the prefix) is gone, so
    // neither its text nor a Retry applies. Nothing while a flow runs.
    void forgetFailure();

    // The install flow's steps, in the order it takes them.
    QCoro::Task<QUrl> findDownloadURL(std::stop_token stop = {});
    // Into a fresh download folder, with `downloading` progress while the run is `run`. Returns
    // the archive's path.
    QCoro::Task<QString> downloadFile(QUrl url, std::stop_token stop = {});
    // Unpacks beside the archive, for at most kExtractLimit; returns the folder.
    QCoro::Task<QString> extractZip(QString archive, std::stop_token stop = {});
    QString findInstallerExe(const QString &folder) const;
    // The silent setup under Wine, judged by the files it leaves.
    QCoro::Task<void> runInstaller(QString exe, std::stop_token stop = {});
    // Copies the OCX controls next to the modem program; reports only through log lines.
    void fixOCXFiles();
    // A trial launch of the installed modem.
    QCoro::Task<void> verifyLaunch(std::stop_token stop = {});
    // "wineserver -k" and "wineserver -w" for the prefix, each given at most 15 s and ended
    // early by `stop`; without a wine server nothing runs.
    QCoro::Task<void> killWineserver(std::stop_token stop = {});
    QCoro::Task<void> waitForWineserverShutdown(std::stop_token stop = {});

    static constexpr std::chrono::seconds kFirstLook{5};
    static constexpr std::chrono::seconds kPollInterval{2};
    static constexpr std::chrono::seconds kGrace{15};
    static constexpr std::chrono::seconds kSetupLimit{300};
    static constexpr std::chrono::seconds kExtractLimit{300};
    static constexpr std::chrono::seconds kLaunchWait{15};
    static constexpr std::chrono::seconds kWineserverLimit{15};

    // "velmara-vara-install-<tag>" in the helper's private temporary folder.
    QString downloadFolder() const;

Q_SIGNALS:
    void stateChanged(const cordavelle::VARAInstaller::State &state);
    void installingChanged(bool installing);

protected:
    void setState(const State &state);

    // Who ended a Wine program of the flow: a watcher's verdict, not the exit status, then counts.
    enum class EndedBy { itself, fileWatcher, timeLimit, launchCheck };
    struct ChildRun;
    QCoro::Task<void> install(std::stop_token stop);
    QCoro::Task<void> runFlow(std::stop_token stop);
    // Waits, with a log line, while the other modem's installer or the prefix's set-up or removal
    // works in the prefix.
    // What is being removed that an install of this modem would go into: its own folder while it
    // is uninstalled, or the whole prefix.
    std::optional<QString> removalInTheWay() const;
    QCoro::Task<void> holdPrefix(std::stop_token stop);
    // Ending every Wine process of the prefix harms nobody else: this installer has the prefix
    // and no VARA modem runs.
    bool mayEndPrefix() const;
    QCoro::Task<void> runWineserver(QString argument, QString failureText, std::stop_token stop);
    // A Wine program of the flow, its output in the log lines, ended with the race `raceStop`
    // belongs to. Throws when it can't be started.
    QCoro::Task<CommandResult> runChild(Command command, std::shared_ptr<ChildRun> run, std::stop_token raceStop,
                                        std::function<void(int64_t pid)> onStarted = {});
    // Ends a lingering Wine program of the flow for the watcher `by`, with `line` in the log:
    // every Wine process of the prefix when mayEndPrefix(), its own process group in any case.
    // Returns once it has ended, also when another watcher is already ending it.
    QCoro::Task<void> stopChild(std::shared_ptr<ChildRun> run, EndedBy by, QString line, std::stop_token raceStop);
    void appendOutput(const QByteArray &chunk);
    QMap<QString, QString> wineEnvironment(bool forWineserver) const;
    void updateRecord(const std::function<void(VARAConfigFields &)> &change);
    void setInstalling(bool installing);

    VARAVariant m_variant;
    Collaborators m_with;
    State m_state;
    bool m_installing = false;
    bool m_uninstalling = false;
    // The download folder the running install asked for once, where it downloads, unpacks and
    // runs the setup, and which a failed install removes; empty until it has one.
    QString m_runFolder;
    // cancel() asked for the prefix's Wine processes to end with the flow.
    bool m_endPrefixOnCancel = false;
    std::stop_source m_stop;
};

} // namespace cordavelle
