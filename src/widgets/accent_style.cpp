#include "widgets/accent_style.h"

#include <QPainter>
#include <QPainterPath>

namespace cordavelle {

namespace {
constexpr int kHorizontalPadding = 12;
constexpr int kVerticalPadding = 5;
constexpr qreal kCornerRadius = 6;
} // namespace

double accentFillOpacity(bool enabled, bool pressed)
{
    if (!enabled) {
        return 0.4;
    }
    return pressed ? 0.7 : 1.0;
}

AccentButton::AccentButton(const QString &text, QWidget *parent) : QPushButton(text, parent)
{
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void AccentButton::setTint(std::optional<QColor> tint)
{
    if (tint != m_tint) {
        m_tint = tint;
        update();
    }
}

QColor AccentButton::fillColour() const
{
    QColor colour = m_tint.value_or(palette().color(QPalette::Active, QPalette::Highlight));
    colour.setAlphaF(static_cast<float>(colour.alphaF() * accentFillOpacity(isEnabled(), isDown())));
    return colour;
}

QSize AccentButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(text()) + 2 * kHorizontalPadding, metrics.height() + 2 * kVerticalPadding};
}

void AccentButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
    painter.fillPath(path, fillColour());
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(rect(), Qt::AlignCenter, text());
    if (hasFocus()) {
        QColor ring = palette().color(QPalette::Highlight).darker(130);
        painter.setPen(QPen(ring, 1.5));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.75, 0.75, -0.75, -0.75), kCornerRadius, kCornerRadius);
    }
}

} // namespace cordavelle
