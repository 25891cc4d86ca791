#pragma once

#include "install/dependency_versions.h"
#include "install/hamlib_assembly.h"
#include "install/installer.h"
#include "install/quiet_watch.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <optional>
#include <stop_token>

namespace cordavelle {

class Clock;
class CommandRunner;
class ConfigStore;
class HttpClient;
class InstallLog;
class SystemInfo;
class UserDefaults;
struct RemoteServices;

// Gives the helper its own rigctld without Homebrew: fetches the Homebrew bottles of "hamlib"
// and "libusb", builds the helper's "hamlib" folder from them beside the old one, makes that
// rigctld run there, and only then puts the folder in place, records the version and, when no
// rigctld is configured yet, points the rigctld configuration at it.
//
// Main thread only.
class HamlibInstaller final : public Installer {
    Q_OBJECT
public:
    struct State {
        enum class Case { idle, downloading, extracting, complete, error };

        Case phase = Case::idle;
        // While downloading: 0.0 until the Hamlib bottle is in, 0.5 while libusb comes.
        double progress = 0.0;
        // In the error state: the error's description.
        QString message;

        static State idle() { return {}; }
        static State downloading(double progress) { return {Case::downloading, progress, {}}; }
        static State extracting() { return {Case::extracting, 0.0, {}}; }
        static State complete() { return {Case::complete, 0.0, {}}; }
        static State error(QString message) { return {Case::error, 0.0, std::move(message)}; }
        bool operator==(const State &) const = default;
    };

    // `clock` stamps the log lines; the formulas are fetched from `remote`'s formula service, and
    // the bottles and the loader chosen for the machine `system` describes.
    HamlibInstaller(ConfigStore &config, UserDefaults &defaults, HttpClient &http, CommandRunner &runner,
                    const SystemInfo &system, Clock &clock, const RemoteServices &remote, InstallLog &installLog,
                    QObject *parent = nullptr);
    ~HamlibInstaller() override;

    // The shared configuration, the standard defaults and the platform's tools.
    static HamlibInstaller &shared();

    // "bin/rigctld" in the helper's Hamlib folder.
    static QString rigctldPath();

    State state() const { return m_state; }
    // What `state` and `running` mean to the views.
    static InstallProgress progressOf(const State &state, bool running = false);
    InstallProgress progress() const override;
    InstalledCopy installedCopy() const override { return {isInstalled(), installedVersion()}; }
    // From startInstall() until the install's task has really ended, also after a cancel.
    bool isRunning() const { return m_stop.has_value(); }

    // Starts an install; nothing while one is still running (a cancelled one included).
    void startInstall();
    void start() override { startInstall(); }
    // Stops the running install, which ends in idle with "Hamlib installation cancelled" once its task
    // has let go of its files; with none running, says so at once.
    void cancel() override;

    // The formula's stable version and the installed one; none, with a log line, when the
    // formula can't be had.
    QCoro::Task<std::optional<DependencyVersions>> checkForUpdate();

    // Whether the helper's own rigctld is there and executable.
    bool isInstalled() const;
    // The version of the last successful install; empty when there is none.
    QString installedVersion() const;

Q_SIGNALS:
    void stateChanged();
    void isRunningChanged();

private:
    static QCoro::Task<void> run(QPointer<HamlibInstaller> self, std::stop_token stop);
    QCoro::Task<void> install(std::stop_token stop);
    // Unpacks the archives in `scratch`, the run's one scratch folder, and puts the result in place.
    QCoro::Task<void> assembleAndCommit(QString scratch, QString hamlibArchive, QString libusbArchive,
                                        std::stop_token stop);
    void appendLog(const QString &message);
    void setState(State state);

    ConfigStore &m_config;
    UserDefaults &m_defaults;
    HttpClient &m_http;
    CommandRunner &m_runner;
    const SystemInfo &m_system;
    Clock &m_clock;
    const RemoteServices &m_remote;
    InstallLog &m_installLog;
    State m_state;
    std::optional<std::stop_source> m_stop;
    // "Waiting for <host>…" while a bottle's server has been quiet a while; else empty.
    QString m_waiting;
    QuietWatch m_quiet;
};

} // namespace cordavelle
