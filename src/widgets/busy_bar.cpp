#include "busy_bar.h"

#include <QPainter>
#include <QPainterPath>
#include <QTimer>

namespace cordavelle {

namespace {

constexpr double kSegment = 0.35;
constexpr double kStep = 0.04;

} // namespace

BusyBar::BusyBar(QWidget *parent) : QWidget(parent), m_timer(new QTimer(this))
{
    setAccessibleName(QStringLiteral("Busy"));
    m_timer->setInterval(40);
    connect(m_timer, &QTimer::timeout, this, [this] {
        // Round the track and back in from the left.
        m_position += kStep;
        if (m_position > 1.0) {
            m_position = -kSegment;
        }
        update();
    });
}

void BusyBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF track = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = track.height() / 2.0;
    QPainterPath clip;
    clip.addRoundedRect(track, radius, radius);
    painter.setPen(QPen(palette().color(QPalette::Mid), 1.0));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawPath(clip);
    painter.setClipPath(clip);
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().color(QPalette::Highlight));
    painter.drawRoundedRect(QRectF(track.left() + m_position * track.width(), track.top(), kSegment * track.width(),
                                   track.height()),
                            radius, radius);
}

void BusyBar::showEvent(QShowEvent *event)
{
    m_timer->start();
    QWidget::showEvent(event);
}

void BusyBar::hideEvent(QHideEvent *event)
{
    m_timer->stop();
    QWidget::hideEvent(event);
}

} // namespace cordavelle
