#pragma once

#include "base/service_model.h"

#include <QByteArray>
#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <exception>
#include <optional>
#include <stop_token>

namespace cordavelle {

class Clock;
class CommandRunner;
class ConfigStore;
class HttpClient;
class InstallLog;
class ServiceControl;

// What can go wrong in a VARA install that is the installer's own doing; `what()` is the text
// shown to the user.
class VARAInstallerError : public std::exception {
public:
    enum class Kind {
        installFailed,
        verificationFailed,
        downloadPageParseFailed,
        noDownloadFound,
        unsafeDownloadName,
        extractionFailed,
        installerNotFound,
        installTimedOut,
    };

    explicit VARAInstallerError(Kind kind, int exitCode = 0, QString detail = {});

    Kind kind() const { return m_kind; }
    int exitCode() const { return m_exitCode; }
    QString description() const;
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    Kind m_kind;
    int m_exitCode;
    QString m_detail;
    QByteArray m_utf8;
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
class VARAInstaller : public QObject {
    Q_OBJECT
public:
    struct State {
        enum class Kind { idle, downloading, extracting, installing, fixingOCX, verifying, complete, error };
        Kind kind = Kind::idle;
        // Of `downloading`, 0.0 to 1.0.
        double progress = 0.0;
        // Of `error`.
        QString error;

        static State downloading(double fraction) { return {Kind::downloading, fraction, {}}; }
        static State failed(QString text) { return {Kind::error, 0.0, std::move(text)}; }
        bool operator==(const State &) const = default;
    };

    struct Collaborators {
        ConfigStore &config;
        HttpClient &http;
        CommandRunner &commands;
        Clock &clock;
        InstallLog &installLog;
        // The download page's address.
        QUrl downloadsPage;
    };

    VARAInstaller(VARAVariant variant, Collaborators with, QObject *parent = nullptr);
    ~VARAInstaller() override;

    // The two modems' installers, on the shared configuration and the platform in force.
    static VARAInstaller &hf();
    static VARAInstaller &fm();

    // The orchestrator, through which `uninstall()` stops the modem's running service first.
    void setServiceControl(ServiceControl *services) { m_services = services; }

    VARAVariant variant() const { return m_variant; }
    State state() const { return m_state; }
    QStringList logLines() const { return m_logLines; }

    QString installDir() const;
    QString exePath() const;
    // "v" + the recorded version while the modem's program is on disk; none otherwise.
    std::optional<QString> installedVersion() const;

    // Stamps `message` with the time of day and adds it to the log lines and the install log.
    void appendLog(const QString &message);

    // The newest setup archive on the downloads page; none when the page names no version or
    // can't be read (which is logged). The installed version is not compared here.
    QCoro::Task<std::optional<VARARelease>> checkForUpdate();

    // Stops the modem's running service, removes the modem's folder and clears its record. When
    // the folder can't be removed the record stays and `state` tells why; returns whether it went.
    QCoro::Task<bool> uninstall();

    // The install flow's steps, in the order it takes them.
    QCoro::Task<QUrl> findDownloadURL(std::stop_token stop = {});
    // Into a fresh download folder, with `downloading` progress while the run is `run`. Returns
    // the archive's path.
    QCoro::Task<QString> downloadFile(QUrl url, std::stop_token stop = {});
    // Unpacks beside the archive; returns the folder.
    QCoro::Task<QString> extractZip(QString archive);
    QString findInstallerExe(const QString &folder) const;

    // "velmara-vara-install-<tag>" in the helper's private temporary folder.
    QString downloadFolder() const;

Q_SIGNALS:
    void stateChanged(const cordavelle::VARAInstaller::State &state);
    void logLinesChanged(const QStringList &lines);

protected:
    void setState(const State &state);
    void setLogLines(const QStringList &lines);

    VARAVariant m_variant;
    Collaborators m_with;
    ServiceControl *m_services = nullptr;
    State m_state;
    QStringList m_logLines;
};

} // namespace cordavelle
