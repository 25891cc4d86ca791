#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <exception>

#include <vector>

namespace cordavelle {

// How far an installer has got, in the terms every view of it shares: each installer keeps its
// own state and says here what it means, so the views decide from this alone.
struct InstallProgress {
    // The steps the views tell apart; an installer takes only the ones its flow has.
    enum class Phase { idle, preparing, downloading, extracting, installing, fixing, verifying, settingUp, complete, failed };

    Phase phase = Phase::idle;
    // While downloading: the fraction received, 0.0 to 1.0.
    double fraction = 0.0;
    // While setting up: the step under way, in the installer's own words.
    QString message;
    // When failed: the failure's text.
    QString error;
    // A task runs; it stays true after a cancel until the task has really ended.
    bool busy = false;
    // When failed: what failed was a removal (an uninstall, a deletion), which a retry repeats,
    // not an install.
    bool removalFailed = false;
    // While working: the step is a removal, which a cancel can't stop part way.
    bool removing = false;

    // A step is under way: neither idle nor at an end.
    bool working() const { return phase != Phase::idle && phase != Phase::complete && phase != Phase::failed; }
    // A cancel can still undo the step cleanly: not once the program is in place and is only
    // being fixed up or tried.
    bool undoable() const { return working() && phase != Phase::fixing && phase != Phase::verifying; }
    bool operator==(const InstallProgress &) const = default;
};

// What the helper's own copy of an installer's program is: there or not, and the version its
// install recorded (empty when none was).
struct InstalledCopy {
    bool present = false;
    QString version;
    bool operator==(const InstalledCopy &) const = default;
};

// A failure's text behind the words of what was being done ("Could not download Wine"), after a
// colon, its first letter in lower case unless the word is in capitals ("HTTP").
QString failureWhile(const QString &doing, const std::exception &error);

// What every installer offers the views that drive and follow it. Main thread only.
class Installer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual InstallProgress progress() const = 0;
    virtual InstalledCopy installedCopy() const = 0;
    // The lines of the running or last install, oldest first.
    virtual QStringList logLines() const { return m_logLines; }
    // A line as shown, with its place among the lines of every installer.
    struct ShownLine {
        quint64 order;
        QString text;
    };
    // Every line shown since the last clear, those of earlier installs first: the views that show
    // several installers' lines together put them in time order by `order`.
    std::vector<ShownLine> shownLog() const;
    // Empties the lines on screen, earlier installs' too; the install log file keeps them.
    void clearLog();
    // Starts the install, unless one is still running (a cancelled one included).
    virtual void start() = 0;
    // Stops the running install; with none running, goes back to idle.
    virtual void cancel() = 0;
    // Why the last update check found no newest version; empty after one that did.
    const QString &lastUpdateCheckFailure() const { return m_updateCheckFailure; }

Q_SIGNALS:
    // The progress, the installed copy or the log lines may have changed.
    void changed();

protected:
    void setUpdateCheckFailure(QString failure) { m_updateCheckFailure = std::move(failure); }
    // Shows `lines` after the lines shown so far; with `keep`, only the newest `keep` lines stay.
    void showLogLines(const QStringList &lines, qsizetype keep = 0);
    // A new install begins: logLines() starts empty, and the lines so far stay in shownLog().
    void beginNewAttempt();

private:
    QString m_updateCheckFailure;
    QStringList m_logLines;
    std::vector<quint64> m_logOrder;
    std::vector<ShownLine> m_earlier;
};

} // namespace cordavelle
