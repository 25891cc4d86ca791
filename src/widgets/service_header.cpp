#include "widgets/service_header.h"

#include "widgets/accent_style.h"
#include "widgets/coalesced_refresh.h"
#include "widgets/form_parts.h"
#include "core/orchestrator_service_control.h"
#include "core/managed_process.h"
#include "core/service_control.h"
#include "core/service_orchestrator.h"
#include "platform/platform.h"

#include <QCoroTask>
#include <QHBoxLayout>
#include <QResizeEvent>
#include <QVBoxLayout>

#include <chrono>

namespace cordavelle {

namespace {

using namespace std::chrono_literals;

QCoro::Task<void> prepareThenStop(std::shared_ptr<ServiceControl> control, ServiceID id)
{
    co_await control->prepareToStopService(id);
    control->stopService(id);
}

QCoro::Task<void> start(std::shared_ptr<ServiceControl> control, ServiceID id)
{
    co_await startFromWindow(*control, id);
}

QCoro::Task<void> tickEverySecond(QPointer<UptimeLabel> label, Clock &clock, std::stop_token stop)
{
    for (;;) {
        // g++ 12 mishandles a co_await in a loop condition: keep it a statement of its own.
        const bool ticked = co_await clock.sleep(1000ms, stop);
        if (!ticked || !label) {
            co_return;
        }
        label->refresh();
    }
}

bool stops(ServiceRunState state)
{
    return state == ServiceRunState::running || state == ServiceRunState::starting;
}

void setTextColour(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}


} // namespace

QString relativeTime(const QDateTime &date, const QDateTime &now)
{
    // msecsTo / 1000 cuts toward zero, as whole seconds do.
    const qint64 s = date.msecsTo(now) / 1000;
    if (s < 5) {
        return QStringLiteral("just now");
    }
    if (s < 60) {
        return QStringLiteral("%1s ago").arg(s);
    }
    if (s < 3600) {
        return QStringLiteral("%1m ago").arg(s / 60);
    }
    if (s < 86400) {
        return QStringLiteral("%1h ago").arg(s / 3600);
    }
    return QStringLiteral("%1d ago").arg(s / 86400);
}

QString formattedUptime(const std::optional<QDateTime> &startedAt, ServiceRunState state, const QDateTime &at)
{
    if (!startedAt || state != ServiceRunState::running) {
        return {};
    }
    const qint64 s = startedAt->msecsTo(at) / 1000;
    const qint64 h = s / 3600;
    const qint64 m = (s % 3600) / 60;
    const qint64 r = s % 60;
    if (s < 3600) {
        return QStringLiteral("%1m %2s").arg(m).arg(r, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1h %2m").arg(h).arg(m, 2, 10, QLatin1Char('0'));
}

ProcessSnapshot ProcessSnapshot::of(const ManagedProcess &process)
{
    ProcessSnapshot snapshot;
    snapshot.state = process.state();
    snapshot.isRestartInProgress = process.isRestartInProgress();
    snapshot.startedAt = process.startedAt();
    snapshot.lastError = process.lastError();
    snapshot.startError = process.startError();
    snapshot.endOutput = process.endOutput();
    snapshot.lastLaunchCommand = process.lastLaunchCommand();
    snapshot.lastLaunchOutcome = process.lastLaunchOutcome();
    snapshot.lastLaunchOutcomeAt = process.lastLaunchOutcomeAt();
    return snapshot;
}

Tone launchOutcomeTone(const LaunchOutcome &outcome)
{
    switch (outcome.kind()) {
    case LaunchOutcome::Kind::exitedWithCode:
    case LaunchOutcome::Kind::killedBySignal: return Tone::red;
    case LaunchOutcome::Kind::running: return Tone::green;
    case LaunchOutcome::Kind::neverStarted:
    case LaunchOutcome::Kind::exitedCleanly:
    case LaunchOutcome::Kind::stopped: return Tone::secondary;
    }
    return Tone::secondary;
}

ServiceHeaderModel ServiceHeaderModel::make(ServiceID id, const ProcessSnapshot &process, const QDateTime &now)
{
    ServiceHeaderModel model;
    model.name = displayName(id);
    model.icon = systemImage(id);
    const ServiceRunState shown = shownRunState(process.state, process.startError.has_value());
    model.stateTone = runStateTone(shown);
    model.stateText = runStateText(shown);
    model.showsUptime = process.state == ServiceRunState::running && process.startedAt.has_value();
    model.buttonStops = stops(process.state);
    model.buttonLabel = model.buttonStops ? QStringLiteral("Stop") : QStringLiteral("Start");
    model.buttonEnabled = process.state != ServiceRunState::stopping && !process.isRestartInProgress;
    if (process.state == ServiceRunState::stopping) {
        model.buttonDisabledReason = model.name + QStringLiteral(" is stopping");
    } else if (process.isRestartInProgress) {
        model.buttonDisabledReason = model.name + QStringLiteral(" is being restarted after a crash");
    }
    // The newer of the two: a start error stands for a start that came after the last error.
    model.error = process.startError ? process.startError : process.lastError;
    if (!process.startError && process.lastError) {
        model.errorOutput = process.endOutput;
    }
    if (process.lastLaunchCommand) {
        LaunchRow row;
        row.command = *process.lastLaunchCommand;
        row.outcome = process.lastLaunchOutcome.displayLabel();
        row.outcomeTone = launchOutcomeTone(process.lastLaunchOutcome);
        if (process.lastLaunchOutcomeAt) {
            row.when = relativeTime(*process.lastLaunchOutcomeAt, now);
        }
        model.launch = row;
    }
    return model;
}

void toggleService(std::shared_ptr<ServiceControl> control, ServiceID id, bool stops)
{
    if (stops) {
        prepareThenStop(std::move(control), id);
    } else {
        start(std::move(control), id);
    }
}

UptimeLabel::UptimeLabel(const ManagedProcess &process, Clock &clock, QWidget *parent)
    : QLabel(parent), m_process(process), m_clock(clock)
{
    setTextFormat(Qt::PlainText);
    refresh();
}

UptimeLabel::~UptimeLabel()
{
    stopTicking();
}

void UptimeLabel::showEvent(QShowEvent *event)
{
    QLabel::showEvent(event);
    if (!m_ticks) {
        m_ticks.emplace();
        refresh();
        tickEverySecond(this, m_clock, m_ticks->get_token());
    }
}

void UptimeLabel::hideEvent(QHideEvent *event)
{
    stopTicking();
    QLabel::hideEvent(event);
}

void UptimeLabel::stopTicking()
{
    if (m_ticks) {
        m_ticks->request_stop();
        m_ticks.reset();
    }
}

void UptimeLabel::refresh()
{
    const QString uptime = formattedUptime(m_process.startedAt(), m_process.state(), wallTime(m_clock));
    setText(QStringLiteral("• ") + uptime);
}

ServiceHeader::ServiceHeader(ServiceID id, ManagedProcess &process, ServiceControl &control, Clock &clock,
                             QWidget *parent)
    // The caller keeps this control alive beyond the header.
    : ServiceHeader(id, process, clock, std::shared_ptr<ServiceControl>(&control, [](ServiceControl *) {}), parent)
{
}

ServiceHeader::ServiceHeader(ServiceID id, ServiceOrchestrator &orchestrator, Clock &clock, QWidget *parent)
    : ServiceHeader(id, orchestrator.process(id), clock,
                    std::make_shared<OrchestratorServiceControl>(orchestrator), parent)
{
}

ServiceHeader::~ServiceHeader() = default;

ServiceHeader::ServiceHeader(ServiceID id, ManagedProcess &process, Clock &clock,
                             std::shared_ptr<ServiceControl> control, QWidget *parent)
    : QWidget(parent), m_id(id), m_process(process), m_control(std::move(control)), m_clock(clock),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    const QFont base = font();
    auto *column = bareColumn(this);

    auto *mainRow = new QHBoxLayout;
    m_icon = new QLabel;
    mainRow->addWidget(m_icon, 0, Qt::AlignVCenter);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(2);
    m_name = new QLabel;
    m_name->setFont(textStyle::title2(base));
    titles->addWidget(m_name);
    auto *stateRow = new QHBoxLayout;
    stateRow->setSpacing(6);
    m_dot = new StateDot;
    m_state = new QLabel;
    m_state->setFont(textStyle::caption(base));
    setTextColour(m_state, toneColour(Tone::secondary, palette()));
    m_uptime = new UptimeLabel(process, clock);
    m_uptime->setFont(textStyle::caption(base));
    setTextColour(m_uptime, toneColour(Tone::secondary, palette()));
    stateRow->addWidget(m_dot, 0, Qt::AlignVCenter);
    stateRow->addWidget(m_state);
    stateRow->addWidget(m_uptime);
    stateRow->addStretch();
    titles->addLayout(stateRow);
    mainRow->addLayout(titles);
    mainRow->addStretch();
    m_button = new AccentButton;
    QFont buttonFont = base;
    buttonFont.setPointSizeF(base.pointSizeF() * 1.1);
    m_button->setFont(buttonFont);
    mainRow->addWidget(m_button, 0, Qt::AlignVCenter);
    column->addLayout(mainRow);

    m_errorRow = new QWidget;
    auto *errorLayout = bareRow(m_errorRow);
    m_errorIcon = new QLabel;
    m_errorText = new QLabel;
    m_errorText->setTextFormat(Qt::PlainText);
    m_errorText->setWordWrap(true);
    m_errorText->setFont(textStyle::caption(base));
    m_errorText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setTextColour(m_errorText, toneColour(Tone::red, palette()));
    m_errorIcon->setPixmap(tintedPixmap(symbolIcon(QStringLiteral("exclamationmark.triangle.fill")), 12,
                                        toneColour(Tone::red, palette()), devicePixelRatioF()));
    errorLayout->addWidget(m_errorIcon, 0, Qt::AlignTop);
    auto *errorColumn = new QVBoxLayout;
    errorColumn->setSpacing(1);
    errorColumn->addWidget(m_errorText);
    m_errorOutput = new QLabel;
    m_errorOutput->setObjectName(QStringLiteral("endOutput"));
    m_errorOutput->setTextFormat(Qt::PlainText);
    m_errorOutput->setWordWrap(true);
    m_errorOutput->setFont(textStyle::caption2(textStyle::monospaced(base)));
    m_errorOutput->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setTextColour(m_errorOutput, toneColour(Tone::secondary, palette()));
    errorColumn->addWidget(m_errorOutput);
    errorLayout->addLayout(errorColumn, 1);
    column->addWidget(m_errorRow);

    m_launchRow = new QWidget;
    auto *launchLayout = new QHBoxLayout(m_launchRow);
    launchLayout->setContentsMargins(0, 4, 0, 0);
    m_launchIcon = new QLabel;
    m_launchIcon->setPixmap(tintedPixmap(symbolIcon(QStringLiteral("terminal")), 12,
                                         toneColour(Tone::tertiary, palette()), devicePixelRatioF()));
    launchLayout->addWidget(m_launchIcon, 0, Qt::AlignTop);
    auto *launchColumn = new QVBoxLayout;
    launchColumn->setSpacing(1);
    auto *command = new MiddleElidedLabel(2);
    m_command = command;
    m_command->setTextFormat(Qt::PlainText);
    m_command->setFont(textStyle::caption2(textStyle::monospaced(base)));
    m_command->setTextInteractionFlags(Qt::TextSelectableByMouse);
    setTextColour(m_command, toneColour(Tone::secondary, palette()));
    launchColumn->addWidget(m_command);
    auto *outcomeRow = new QHBoxLayout;
    outcomeRow->setSpacing(4);
    m_outcome = new QLabel;
    m_separator = new QLabel(QStringLiteral("·"));
    m_when = new QLabel;
    for (QLabel *label : {m_outcome, m_separator, m_when}) {
        label->setFont(textStyle::caption2(base));
        label->setTextFormat(Qt::PlainText);
        outcomeRow->addWidget(label);
    }
    setTextColour(m_separator, toneColour(Tone::tertiary, palette()));
    setTextColour(m_when, toneColour(Tone::secondary, palette()));
    outcomeRow->addStretch();
    launchColumn->addLayout(outcomeRow);
    launchLayout->addLayout(launchColumn, 1);
    column->addWidget(m_launchRow);

    // A press means what the button read as it began, also when the click comes at its release.
    connect(m_button, &QPushButton::pressed, this, [this] { m_pressStops = m_meaning.stopsOnPressAt(m_clock.now()); });
    connect(m_button, &QPushButton::clicked, this, [this] {
        const bool stops = m_pressStops.value_or(m_meaning.stopsOnPressAt(m_clock.now()));
        m_pressStops.reset();
        toggleService(m_control, m_id, stops);
    });
    for (auto signal : {&ManagedProcess::stateChanged, &ManagedProcess::startedAtChanged,
                        &ManagedProcess::lastErrorChanged, &ManagedProcess::startErrorChanged,
                        &ManagedProcess::endOutputChanged, &ManagedProcess::isRestartInProgressChanged,
                        &ManagedProcess::lastLaunchCommandChanged, &ManagedProcess::lastLaunchOutcomeChanged,
                        &ManagedProcess::lastLaunchOutcomeAtChanged}) {
        connect(&m_process, signal, m_refresh, &CoalescedRefresh::schedule);
    }
    refresh();
}

void ServiceHeader::refresh()
{
    m_model = ServiceHeaderModel::make(m_id, ProcessSnapshot::of(m_process), wallTime(m_clock));
    m_meaning.show(m_model.buttonStops, m_clock.now());
    const QColor stateColour = toneColour(m_model.stateTone, palette());
    m_icon->setPixmap(tintedPixmap(symbolIcon(m_model.icon), 32, stateColour, devicePixelRatioF()));
    m_name->setText(m_model.name);
    m_dot->setTone(m_model.stateTone);
    m_dot->setAccessibleName(m_model.stateText);
    m_state->setText(m_model.stateText);
    m_uptime->setVisible(m_model.showsUptime);
    m_uptime->refresh();
    m_button->setText(m_model.buttonLabel);
    m_button->setEnabled(m_model.buttonEnabled);
    m_button->setToolTip(m_model.buttonDisabledReason);
    m_button->setTint(m_model.buttonStops ? std::optional(toneColour(Tone::red, palette())) : std::nullopt);
    m_button->updateGeometry();

    m_errorRow->setVisible(m_model.error.has_value());
    m_errorText->setText(m_model.error.value_or(QString()));
    m_errorOutput->setVisible(!m_model.errorOutput.isEmpty());
    m_errorOutput->setText(m_model.errorOutput.join(QLatin1Char('\n')));

    m_launchRow->setVisible(m_model.launch.has_value());
    if (m_model.launch) {
        static_cast<MiddleElidedLabel *>(m_command)->setFullText(m_model.launch->command);
        m_outcome->setText(m_model.launch->outcome);
        setTextColour(m_outcome, toneColour(m_model.launch->outcomeTone, palette()));
        m_separator->setVisible(m_model.launch->when.has_value());
        m_when->setVisible(m_model.launch->when.has_value());
        m_when->setText(m_model.launch->when.value_or(QString()));
    }
}

} // namespace cordavelle
