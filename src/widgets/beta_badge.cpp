#include "widgets/beta_badge.h"

#include "widgets/status_look.h"

#include <QPainter>

namespace cordavelle {

namespace {
QFont badgeFont(const QFont &base)
{
    QFont font = base;
    font.setPointSizeF(9);
    font.setWeight(QFont::DemiBold);
    return font;
}

const QString &betaText()
{
    static const QString text = QStringLiteral("Beta");
    return text;
}
} // namespace

BetaBadge::BetaBadge(QWidget *parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSize BetaBadge::sizeHint() const
{
    const QFontMetrics metrics(badgeFont(font()));
    return {metrics.horizontalAdvance(betaText()) + 2 * 5, metrics.height() + 2 * 1};
}

void BetaBadge::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area(QPointF(0, 0), QSizeF(sizeHint()));
    const QRectF box(QPointF(0, (height() - area.height()) / 2), area.size());
    painter.setPen(Qt::NoPen);
    painter.setBrush(toneColour(Tone::orange, palette()));
    painter.drawRoundedRect(box, box.height() / 2, box.height() / 2);
    painter.setPen(Qt::white);
    painter.setFont(badgeFont(font()));
    painter.drawText(box, Qt::AlignCenter, betaText());
}

} // namespace cordavelle
