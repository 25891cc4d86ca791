#pragma once

#include "widgets/start_stop_meaning.h"
#include "widgets/status_look.h"
#include "base/launch_outcome.h"
#include "base/service_model.h"

#include <QDateTime>
#include <QStringList>
#include <QLabel>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>
#include <stop_token>

namespace cordavelle {

class AccentButton;
class CoalescedRefresh;
class Clock;
class ManagedProcess;
class ServiceControl;
class ServiceOrchestrator;

// How long ago `date` was, as the last-launch row says it: "just now" under 5 s (a date in the
// future too), then "<n>s ago", "<n>m ago", "<n>h ago", "<n>d ago", in whole units.
QString relativeTime(const QDateTime &date, const QDateTime &now);

// A running service's uptime at `at`: "<m>m <ss>s" under an hour, "<h>h <mm>m" from then on;
// empty unless the service is running with a start time.
QString formattedUptime(const std::optional<QDateTime> &startedAt, ServiceRunState state, const QDateTime &at);

// What the header reads of a service's process.
struct ProcessSnapshot {
    ServiceRunState state = ServiceRunState::stopped;
    bool isRestartInProgress = false;
    std::optional<QDateTime> startedAt;
    std::optional<QString> lastError;
    std::optional<QString> startError;
    QStringList endOutput;
    std::optional<QString> lastLaunchCommand;
    LaunchOutcome lastLaunchOutcome = LaunchOutcome::neverStarted();
    std::optional<QDateTime> lastLaunchOutcomeAt;

    static ProcessSnapshot of(const ManagedProcess &process);
};

Tone launchOutcomeTone(const LaunchOutcome &outcome);

// Everything the header shows, decided from a snapshot of the process.
struct ServiceHeaderModel {
    struct LaunchRow {
        QString command;
        QString outcome;
        Tone outcomeTone = Tone::secondary;
        // "· <relative time>" is shown only with a recorded outcome time.
        std::optional<QString> when;
    };

    QString name;
    QString icon;
    Tone stateTone = Tone::gray;
    QString stateText;
    bool showsUptime = false;
    QString buttonLabel;
    bool buttonEnabled = true;
    // Why the button is disabled (its tooltip); empty while it is enabled.
    QString buttonDisabledReason;
    // The button stops the service (and is tinted red) rather than starting it.
    bool buttonStops = false;
    // What the last start threw in a window, else the process's last error.
    std::optional<QString> error;
    // Under the error: the last lines of a child that ended on its own.
    QStringList errorOutput;
    std::optional<LaunchRow> launch;

    static ServiceHeaderModel make(ServiceID id, const ProcessSnapshot &process, const QDateTime &now);
};

// The header's button action: stops the service when the press means "Stop", the pre-stop step
// first, otherwise starts it, showing what a failed start throws in the error row. What the
// press means follows what the button read (StartStopMeaning), not the state the press finds: a
// restart after a crash may have begun a start just then, and a press of "Start" must not stop
// that start (it joins it). The task keeps `control` alive until it ends, also when the header
// goes first.
void toggleService(std::shared_ptr<ServiceControl> control, ServiceID id, bool stops);

// The self-refreshing uptime text ("• 3m 07s"), once a second on the clock while it is shown,
// counting from the moment it was shown.
class UptimeLabel final : public QLabel {
    Q_OBJECT
public:
    UptimeLabel(const ManagedProcess &process, Clock &clock, QWidget *parent = nullptr);
    ~UptimeLabel() override;

    void refresh();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void stopTicking();

    const ManagedProcess &m_process;
    Clock &m_clock;
    std::optional<std::stop_source> m_ticks;
};

// The block at the top of every service page: icon, name, run state and uptime, the Start/Stop
// button, the last error and the last launch.
class ServiceHeader final : public QWidget {
    Q_OBJECT
public:
    ServiceHeader(ServiceID id, ManagedProcess &process, ServiceControl &control, Clock &clock,
                  QWidget *parent = nullptr);
    // The header of a service page: the orchestrator's process of the service, driven through
    // the orchestrator.
    ServiceHeader(ServiceID id, ServiceOrchestrator &orchestrator, Clock &clock, QWidget *parent = nullptr);
    ~ServiceHeader() override;

    AccentButton *button() const { return m_button; }
    const ServiceHeaderModel &model() const { return m_model; }

private:
    ServiceHeader(ServiceID id, ManagedProcess &process, Clock &clock, std::shared_ptr<ServiceControl> control,
                  QWidget *parent);
    void refresh();

    const ServiceID m_id;
    ManagedProcess &m_process;
    std::shared_ptr<ServiceControl> m_control;
    Clock &m_clock;
    ServiceHeaderModel m_model;
    CoalescedRefresh *m_refresh;
    StartStopMeaning m_meaning;
    // What the press under way means, from the moment it began.
    std::optional<bool> m_pressStops;

    QLabel *m_icon;
    QLabel *m_name;
    StateDot *m_dot;
    QLabel *m_state;
    UptimeLabel *m_uptime;
    AccentButton *m_button;
    QWidget *m_errorRow;
    QLabel *m_errorIcon;
    QLabel *m_errorText;
    QLabel *m_errorOutput;
    QWidget *m_launchRow;
    QLabel *m_launchIcon;
    QLabel *m_command;
    QLabel *m_outcome;
    QLabel *m_separator;
    QLabel *m_when;
};

} // namespace cordavelle
