#include "tray_glyph.h"

#include "widgets/status_look.h"

#include <QPainter>
#include <QPainterPath>

#include <vector>

namespace cordavelle {

TrayColor menuBarColor(ServiceRunState varaState, ServiceLifecycleMode varaMode, ServiceRunState rigctldState,
                       ServiceLifecycleMode rigctldMode)
{
    std::vector<ServiceRunState> states;
    if (varaMode != ServiceLifecycleMode::disabled) {
        states.push_back(varaState);
    }
    if (rigctldMode != ServiceLifecycleMode::disabled) {
        states.push_back(rigctldState);
    }
    const auto any = [&](ServiceRunState state) { return std::ranges::find(states, state) != states.end(); };
    if (states.empty()) {
        return TrayColor::primary;
    }
    if (any(ServiceRunState::error)) {
        return TrayColor::red;
    }
    if (std::ranges::all_of(states, [](ServiceRunState s) { return s == ServiceRunState::running; })) {
        return TrayColor::green;
    }
    if (any(ServiceRunState::starting) || any(ServiceRunState::stopping)) {
        return TrayColor::yellow;
    }
    return TrayColor::primary;
}

QIcon trayGlyph(TrayColor colour, bool pendingPairing, const QColor &primary, int size)
{
    QColor ink = primary;
    switch (colour) {
    case TrayColor::primary:
        break;
    case TrayColor::red:
        ink = toneColour(Tone::red, QPalette());
        break;
    case TrayColor::green:
        ink = toneColour(Tone::green, QPalette());
        break;
    case TrayColor::yellow:
        ink = toneColour(Tone::yellow, QPalette());
        break;
    }
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    const qreal stroke = s / 14.0;
    painter.setPen(QPen(ink, stroke, Qt::SolidLine, Qt::RoundCap));
    // The mast with its tip, and two waves each side of it.
    const QPointF tip(s / 2, s * 0.42);
    painter.drawLine(QPointF(s / 2, s * 0.5), QPointF(s / 2, s * 0.9));
    painter.setBrush(ink);
    painter.drawEllipse(tip, stroke * 1.3, stroke * 1.3);
    painter.setBrush(Qt::NoBrush);
    for (int wave = 1; wave <= 2; ++wave) {
        const qreal r = s * (0.14 + 0.13 * wave);
        const QRectF box(tip.x() - r, tip.y() - r, 2 * r, 2 * r);
        painter.drawArc(box, 150 * 16, 60 * 16);  // left
        painter.drawArc(box, -30 * 16, 60 * 16);  // right
    }
    if (pendingPairing) {
        const qreal d = s * 7.0 / 22.0;
        painter.setPen(Qt::NoPen);
        painter.setBrush(toneColour(Tone::orange, QPalette()));
        painter.drawEllipse(QRectF(s - d, 0, d, d));
    }
    painter.end();
    return QIcon(pixmap);
}

} // namespace cordavelle
