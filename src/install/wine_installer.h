#pragma once

#include "install/installer.h"
#include "install/quiet_watch.h"
#include "install/winetricks_installer.h"
#include "platform/described_error.h"

#include <QByteArray>
#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <exception>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

namespace cordavelle {

struct BottleInfo;

class ConfigStore;
class InstallLog;
class Platform;
class ServiceControl;
class WinePrefixHold;

class WineInstallerError : public DescribedError {
public:
    enum class Case { winetricksDownloadFailed, releaseParseFailed, noStableRelease, extractionFailed, binaryNotFound,
                      unsupportedArchitecture, buildDoesNotRun, modemRunning, cabextractFormulaUnreadable,
                      cabextractExtractionFailed };

    static WineInstallerError winetricksDownloadFailed(const QString &reason);
    static WineInstallerError releaseParseFailed();
    static WineInstallerError noStableRelease();
    // `reason`: what tar said, when it said anything.
    static WineInstallerError extractionFailed(const QString &reason = {});
    static WineInstallerError binaryNotFound();
    // The standalone Linux Wine builds exist for x86-64 only.
    static WineInstallerError unsupportedArchitecture(const QString &machine);
    // The unpacked build's "wine --version" failed; `reason` is its output or exit status.
    static WineInstallerError buildDoesNotRun(const QString &reason);
    // `modem` runs under the Wine that would be replaced.
    static WineInstallerError modemRunning(const QString &modem);
    // cabextract comes from a Homebrew bottle, not from the release list nor the Wine archive.
    static WineInstallerError cabextractFormulaUnreadable(const QUrl &formula, const std::exception &reason);
    static WineInstallerError cabextractExtractionFailed(const QString &reason = {});

    Case errorCase() const { return m_case; }

private:
    WineInstallerError(Case errorCase, QString description);

    Case m_case;
};

// Installs the Wine that VARA HF and VARA FM run under, a standalone Linux build, into the
// helper's own "wine" folder (through a staging folder), with the winetricks script and the
// cabextract tool that the prefix set-up needs; records the version and points both VARA
// configurations at it. Main thread only.
class WineInstaller final : public Installer {
    Q_OBJECT
public:
    class State {
    public:
        enum class Kind { idle, installingRosetta, downloading, extracting, complete, error };

        State() = default;
        static State idle() { return State(Kind::idle); }
        static State downloading(double progress) { return State(Kind::downloading, progress); }
        static State extracting() { return State(Kind::extracting); }
        static State complete() { return State(Kind::complete); }
        static State error(QString message) { return State(Kind::error, 0.0, std::move(message)); }

        Kind kind() const { return m_kind; }
        // The fraction of the archive received, while downloading.
        double progress() const { return m_progress; }
        // The failure's text, in the error state.
        const QString &message() const { return m_message; }

        bool operator==(const State &) const = default;

    private:
        explicit State(Kind kind, double progress = 0.0, QString message = {})
            : m_kind(kind), m_progress(progress), m_message(std::move(message))
        {
        }
        Kind m_kind = Kind::idle;
        double m_progress = 0.0;
        QString m_message;
    };

    struct Release {
        QUrl url;
        QString tag;
        bool operator==(const Release &) const = default;
    };

    static inline const QString kInstalledVersionKey = QStringLiteral("wineInstalledVersion");
    static inline const QString kArchiveName = QStringLiteral("wine-stable.tar.xz");

    // Runs tools, downloads and stamps through `platform`, records through `config`, its
    // defaults and `log`. Replaces the build only while it has `prefixHold` and no VARA modem
    // runs (asked of `services`).
    WineInstaller(ConfigStore &config, InstallLog &log, Platform &platform, ServiceControl &services,
                  WinePrefixHold &prefixHold, QObject *parent = nullptr);
    // A task still running is stopped and waited for.
    ~WineInstaller() override;

    static WineInstaller &shared();

    const State &state() const { return m_state; }
    // What `state` and `busy` mean to the views.
    static InstallProgress progressOf(const State &state, bool busy = false);
    InstallProgress progress() const override;
    InstalledCopy installedCopy() const override { return {isInstalled(), installedVersion()}; }
    // Whether an install task runs; it stays true after cancel() until the task has ended.
    bool isBusy() const { return m_busy; }

    // Starts the install flow, unless one is still running.
    void startInstall();
    void start() override { startInstall(); }
    // Stops the running flow, which then ends in idle with "Wine installation cancelled"; with none
    // running, goes to idle and logs that line at once.
    void cancel() override;

    // The newest stable release's tag and the installed version; none (with a log line) when the
    // release list can't be read.
    QCoro::Task<std::optional<std::pair<QString, QString>>> checkForUpdate();

    // Whether the helper's own Wine build is there and executable.
    bool isInstalled() const;
    // The release tag recorded by the last successful install, or "".
    QString installedVersion() const;
    bool isWinetricksInstalled() const;
    // Fetches the helper's own winetricks alone, for a Wine that came without one; its lines
    // join this installer's.
    Installer &winetricksInstaller() { return m_winetricks; }
    static std::optional<QString> findWine();
    static std::optional<QString> findWinetricks();

    // The release list's newest stable build for this machine.
    QCoro::Task<Release> findLatestStableRelease(std::stop_token stop = {});
    // In a release list, walked in its order: the first release with a build of a stable Wine
    // (x.0 or x.0.y) for x86-64, the WoW64 build before the plain one.
    static Release pickLatestStableRelease(const QByteArray &releaseList);
    // Throws winetricksDownloadFailed unless the answer (status 0: not HTTP) is a shell script.
    static void validateWinetricksPayload(const QByteArray &data, int statusCode);

    // Fetches cabextract's bottle into the helper's tools folder (places::ownCabextract()), made
    // runnable there; the prefix set-up asks for it when winetricks would find none. One fetch
    // at a time: a second call waits for the running one and takes its result.
    QCoro::Task<void> installCabextract(std::stop_token stop);
    // Fetches the winetricks script to the helper's own copy (places::ownWinetricks()); the
    // prefix set-up asks for it when it finds no winetricks at all.
    QCoro::Task<void> downloadWinetricks(std::stop_token stop);

Q_SIGNALS:
    void stateChanged();
    void busyChanged();

private:
    QCoro::Task<void> install(std::stop_token stop, quint64 run);
    // The latest stable build downloaded to `destination`; returns its release tag.
    QCoro::Task<QString> downloadWine(QString destination, std::stop_token stop, quint64 run);
    QCoro::Task<QString> fetchWineArchive(Release release, QString destination, std::stop_token stop, quint64 run);
    QCoro::Task<void> extractWine(QString archive, std::stop_token stop);
    // "wine --version" of the staged build, from its own folder.
    QCoro::Task<void> checkStagedBuildRuns(QString folder, std::stop_token stop);
    // Takes the prefix's hold, logging whom it waits for; throws once a VARA modem runs, since
    // the build under it is about to be replaced.
    QCoro::Task<void> holdForSwap(std::stop_token stop);
    QCoro::Task<void> fetchCabextract(std::stop_token stop);
    QCoro::Task<void> provideWinetricks(std::stop_token stop);
    // The bottle's cabextract into the tools folder, by way of `archive` and `extract`.
    QCoro::Task<void> unpackCabextract(BottleInfo bottle, QString archive, QString extract, std::stop_token stop);
    // Throws `failure` with tar's first line of complaint when tar ends without success.
    QCoro::Task<void> runTar(QStringList arguments, WineInstallerError (*failure)(const QString &), std::stop_token stop);
    void pointVaraAtWine();

    void setState(State state);
    void setBusy(bool busy);
    void appendLog(const QString &message);
    // A tool's output, split at line breaks, empty lines dropped, without the time stamp.
    void pipeToLog(const QByteArray &chunk);

    struct CabextractFetch;

    ConfigStore &m_config;
    InstallLog &m_log;
    Platform &m_platform;
    ServiceControl &m_services;
    WinePrefixHold &m_prefixHold;
    // The cabextract fetch that runs, which a second caller waits for.
    std::shared_ptr<CabextractFetch> m_cabextract;
    State m_state;
    bool m_busy = false;
    // Each run has its number, so that a late report of an earlier run changes nothing.
    quint64 m_run = 0;
    std::stop_source m_stop;
    // "Waiting for <host>…" while the download's server has been quiet a while; else empty.
    QString m_waiting;
    QuietWatch m_quiet;
    WinetricksInstaller m_winetricks;
};

} // namespace cordavelle
