#include "status_menu.h"

#include "app/app_log.h"
#include "widgets/coalesced_refresh.h"
#include "widgets/status_look.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleOptionMenuItem>
#include <QWidgetAction>

namespace cordavelle {

namespace {

QCoro::Task<void> prepareThenStop(ServiceControl &services, ServiceID id)
{
    co_await services.prepareToStopService(id);
    services.stopService(id);
}

// What a service row's text holds between its name and the state that the dot shows: the
// words are for assistive technology, which reads the row's text and sees no colour.
const QString kStateApart = QStringLiteral(" \u2014 ");

// The row's text as drawn: the name without the state words, and the action word apart.
QStyleOptionMenuItem shownRow(const QStyleOptionMenuItem &item)
{
    QStyleOptionMenuItem shown(item);
    const qsizetype tab = item.text.indexOf(QLatin1Char('\t'));
    const qsizetype apart = item.text.lastIndexOf(kStateApart, tab < 0 ? -1 : tab);
    if (apart >= 0) {
        shown.text = item.text.left(apart) + (tab < 0 ? QString() : item.text.mid(tab));
    }
    return shown;
}

// Draws a row's action word (the text after the tab, where shortcuts stand) in the secondary
// style, as it only says what a click does, and leaves the state words to the dot.
class SecondaryActionWordStyle final : public QProxyStyle {
public:
    QSize sizeFromContents(ContentsType type, const QStyleOption *option, const QSize &size,
                           const QWidget *widget) const override
    {
        const auto *item = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
        if (type != CT_MenuItem || !item) {
            return QProxyStyle::sizeFromContents(type, option, size, widget);
        }
        // The menu measured the whole title before asking; the words it does not draw take no room.
        const QStyleOptionMenuItem shown = shownRow(*item);
        const auto title = [](const QString &text) { return text.left(text.indexOf(QLatin1Char('\t'))); };
        QSize drawn = size;
        drawn.rwidth() -= item->fontMetrics.horizontalAdvance(title(item->text)) -
                          item->fontMetrics.horizontalAdvance(title(shown.text));
        return QProxyStyle::sizeFromContents(type, &shown, drawn, widget);
    }

    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
                     const QWidget *widget) const override
    {
        const auto *menuItem = qstyleoption_cast<const QStyleOptionMenuItem *>(option);
        if (element != CE_MenuItem || !menuItem) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        const QStyleOptionMenuItem shown = shownRow(*menuItem);
        const QStyleOptionMenuItem *item = &shown;
        const qsizetype tab = item->text.indexOf(QLatin1Char('\t'));
        if (tab < 0) {
            QProxyStyle::drawControl(element, item, painter, widget);
            return;
        }
        QStyleOptionMenuItem title(*item);
        title.text = item->text.left(tab);
        QProxyStyle::drawControl(element, &title, painter, widget);
        const bool selected = item->state & State_Selected;
        QPalette palette = item->palette;
        if (selected) {
            palette.setColor(QPalette::WindowText, palette.color(QPalette::HighlightedText));
        }
        const int margin = pixelMetric(PM_MenuHMargin, option, widget) +
                           2 * pixelMetric(PM_MenuPanelWidth, option, widget) + 12;
        painter->save();
        painter->setPen(toneColour(Tone::secondary, palette));
        painter->drawText(item->rect.adjusted(0, 0, -margin, 0), Qt::AlignRight | Qt::AlignVCenter,
                          item->text.mid(tab + 1));
        painter->restore();
    }
};

} // namespace

StatusMark statusMark(ServiceRunState state)
{
    switch (state) {
    case ServiceRunState::stopped:
        return StatusMark::circle;
    case ServiceRunState::starting:
    case ServiceRunState::stopping:
        return StatusMark::dottedCircle;
    case ServiceRunState::running:
        return StatusMark::filledCircle;
    case ServiceRunState::error:
        return StatusMark::exclamation;
    }
    return StatusMark::circle;
}

QIcon paintedStateDot(ServiceRunState state, int size)
{
    const QColor colour = toneColour(runStateTone(state), QPalette());
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal pen = std::max(1.0, size / 10.0);
    const QRectF circle = QRectF(0, 0, size, size).adjusted(pen + 1, pen + 1, -pen - 1, -pen - 1);
    switch (statusMark(state)) {
    case StatusMark::circle:
        painter.setPen(QPen(colour, pen));
        painter.drawEllipse(circle);
        break;
    case StatusMark::dottedCircle: {
        QPen dotted(colour, pen * 1.4, Qt::DotLine, Qt::RoundCap);
        painter.setPen(dotted);
        painter.drawEllipse(circle);
        break;
    }
    case StatusMark::filledCircle:
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(circle);
        break;
    case StatusMark::exclamation: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(circle);
        painter.setBrush(Qt::white);
        const qreal w = circle.width() / 7.0;
        const qreal cx = circle.center().x();
        painter.drawRoundedRect(QRectF(cx - w / 2, circle.top() + circle.height() * 0.2, w, circle.height() * 0.4), w / 2,
                                w / 2);
        painter.drawEllipse(QPointF(cx, circle.top() + circle.height() * 0.77), w * 0.6, w * 0.6);
        break;
    }
    }
    painter.end();
    return QIcon(pixmap);
}

std::vector<StatusMenuEntry> statusMenuEntries(const ServiceControl &services,
                                               const std::optional<QString> &advertisedName)
{
    std::vector<StatusMenuEntry> entries;
    for (ServiceID id : allCases<ServiceID>()) {
        if (services.lifecycleMode(id) == ServiceLifecycleMode::disabled) {
            continue;
        }
        StatusMenuEntry entry;
        entry.kind = StatusMenuEntry::Kind::service;
        entry.service = id;
        entry.state = shownRunState(services.status(id).state, services.startError(id).has_value());
        entry.text = displayName(id);
        entry.actionWord = entry.state == ServiceRunState::running ? QStringLiteral("Stop") : QStringLiteral("Start");
        entries.push_back(entry);
    }
    entries.push_back(StatusMenuEntry{});
    StatusMenuEntry bonjour;
    bonjour.kind = StatusMenuEntry::Kind::bonjour;
    bonjour.text = advertisedName.value_or(QStringLiteral("Not advertising"));
    bonjour.dimmed = !advertisedName;
    entries.push_back(bonjour);
    entries.push_back(StatusMenuEntry{});
    StatusMenuEntry open;
    open.kind = StatusMenuEntry::Kind::openHelper;
    open.text = QStringLiteral("Open Helper...");
    entries.push_back(open);
    StatusMenuEntry quit;
    quit.kind = StatusMenuEntry::Kind::quit;
    quit.text = QStringLiteral("Quit");
    entries.push_back(quit);
    return entries;
}

std::vector<ServiceID> runningServices(const ServiceControl &services)
{
    std::vector<ServiceID> running;
    for (ServiceID id : allCases<ServiceID>()) {
        if (services.status(id).state == ServiceRunState::running) {
            running.push_back(id);
        }
    }
    return running;
}

Alert servicesStillRunningAlert(const std::vector<ServiceID> &running)
{
    QStringList names;
    for (ServiceID id : running) {
        names << displayName(id);
    }
    Alert alert;
    alert.style = Alert::Style::warning;
    alert.message = QStringLiteral("Services Still Running");
    alert.informativeText = names.join(QStringLiteral(", ")) +
                            (running.size() == 1 ? QStringLiteral(" is") : QStringLiteral(" are")) +
                            QStringLiteral(" still running. Quit anyway?");
    alert.buttons = {QStringLiteral("Quit"), QStringLiteral("Cancel")};
    return alert;
}

QCoro::Task<void> stopEveryServiceThenTerminate(ServiceControl &services, std::function<void()> terminate)
{
    for (ServiceID id : allCases<ServiceID>()) {
        if (id == ServiceID::rigctld) {
            co_await services.prepareToStopService(id);
        }
        services.stopService(id);
    }
    terminate();
}

StatusMenu::StatusMenu(ServiceControl &services, AlertPresenter &alerts, AdvertisedName &advertised, Actions actions,
                       Clock &clock, QWidget *parent)
    : QMenu(parent),
      m_services(services),
      m_alerts(alerts),
      m_advertised(advertised),
      m_actions(std::move(actions)),
      m_clock(clock),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    auto *style = new SecondaryActionWordStyle;
    style->setParent(this);
    setStyle(style);
    connect(this, &QMenu::aboutToShow, this, &StatusMenu::refresh);
    refresh();
}

void StatusMenu::scheduleRefresh() { m_refresh->schedule(); }

void StatusMenu::refresh()
{
    const std::optional<QString> advertised = m_advertised.advertisedName();
    clear();
    for (const StatusMenuEntry &entry : statusMenuEntries(m_services, advertised)) {
        switch (entry.kind) {
        case StatusMenuEntry::Kind::service: {
            // The action word stands apart at the trailing edge, where shortcuts go.
            QAction *action = addAction(paintedStateDot(entry.state),
                                        entry.text + kStateApart + runStateText(entry.state) + '\t' + entry.actionWord);
            const ServiceID id = entry.service;
            StartStopMeaning &meaning = m_meanings[id];
            meaning.show(entry.state == ServiceRunState::running, m_clock.now());
            connect(action, &QAction::triggered, this,
                    [this, id, &meaning] { toggleService(id, meaning.stopsOnPressAt(m_clock.now())); });
            break;
        }
        case StatusMenuEntry::Kind::separator:
            addSeparator();
            break;
        case StatusMenuEntry::Kind::bonjour: {
            // The row only informs, so its action is disabled; its text is greyed only while
            // nothing is advertised.
            auto *row = new QWidget(this);
            auto *layout = new QHBoxLayout(row);
            // Lined up with the icons and titles of the other rows.
            layout->setContentsMargins(4, 3, 8, 3);
            layout->setSpacing(3);
            auto *icon = new QLabel(row);
            icon->setPixmap(symbolIcon(QStringLiteral("bonjour")).pixmap(16, 16));
            auto *text = new QLabel(entry.text, row);
            text->setTextFormat(Qt::PlainText);
            if (!entry.dimmed) {
                QPalette palette = text->palette();
                palette.setColor(QPalette::Disabled, QPalette::WindowText,
                                 palette.color(QPalette::Active, QPalette::WindowText));
                text->setPalette(palette);
            }
            text->setObjectName(QStringLiteral("bonjourText"));
            layout->addWidget(icon);
            layout->addWidget(text, 1);
            auto *action = new QWidgetAction(this);
            action->setDefaultWidget(row);
            action->setText(entry.text);
            action->setEnabled(false);
            addAction(action);
            break;
        }
        case StatusMenuEntry::Kind::openHelper: {
            QAction *action = addAction(entry.text);
            connect(action, &QAction::triggered, this, [this] {
                if (m_actions.openHelper) {
                    m_actions.openHelper();
                }
            });
            break;
        }
        case StatusMenuEntry::Kind::quit: {
            QAction *action = addAction(entry.text);
            connect(action, &QAction::triggered, this, &StatusMenu::quit);
            break;
        }
        }
    }
}

void StatusMenu::toggleService(ServiceID id, bool stops)
{
    // Started after the click has returned, as the menu never waits for the work.
    QMetaObject::invokeMethod(
        this,
        [services = &m_services, id, stops] {
            if (stops) {
                prepareThenStop(*services, id);
            } else {
                startFromWindow(*services, id);
            }
        },
        Qt::QueuedConnection);
}

void StatusMenu::quit()
{
    const auto running = runningServices(m_services);
    if (!running.empty() && m_alerts.present(servicesStillRunningAlert(running)) != 0) {
        return;
    }
    QMetaObject::invokeMethod(
        this,
        [services = &m_services, terminate = m_actions.terminate] {
            stopEveryServiceThenTerminate(*services, terminate ? terminate : [] {});
        },
        Qt::QueuedConnection);
}

} // namespace cordavelle
