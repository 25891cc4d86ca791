#pragma once

#include "base/service_model.h"

#include <QColor>
#include <QDateTime>
#include <QIcon>
#include <QPalette>
#include <QWidget>

namespace cordavelle {

class Clock;

// The colours the windows speak in. Views decide a tone; the widget turns it into a colour of
// the palette in force, so decisions stay testable without a display.
enum class Tone { gray, yellow, green, red, orange, blue, secondary, tertiary };

QColor toneColour(Tone tone, const QPalette &palette);

// A service's run state as the windows show it: its colour and its name with a capital letter.
Tone runStateTone(ServiceRunState state);
// The state the windows show: a start that threw before anything ran leaves the process stopped,
// yet it is a failed start and reads "Error" like one whose child died.
ServiceRunState shownRunState(ServiceRunState state, bool startFailed);
QString runStateText(ServiceRunState state);

// The wall-clock time of `clock` as a date-time.
QDateTime wallTime(const Clock &clock);

// Gives platforms without a desktop theme (offscreen, a bare X server) the freedesktop theme.
void ensureIconTheme();
// An icon of the desktop's icon theme standing for a symbol name of the windows' design
// ("wave.3.right", "terminal", …); a null icon when the theme has none.
QIcon symbolIcon(const QString &symbolName);
// The icon drawn at `size` in a single colour, as the symbol images are.
QPixmap tintedPixmap(const QIcon &icon, int size, const QColor &colour, qreal devicePixelRatio = 1.0);

// A filled circle, 8 × 8 by default, in one tone.
class StateDot final : public QWidget {
    Q_OBJECT
public:
    explicit StateDot(QWidget *parent = nullptr, int diameter = 8);

    void setTone(Tone tone);
    Tone tone() const { return m_tone; }
    QSize sizeHint() const override { return {m_diameter, m_diameter}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Tone m_tone = Tone::gray;
    int m_diameter;
};

// Fonts of the named text styles, derived from the application font.
namespace textStyle {
QFont caption(const QFont &base);
QFont caption2(const QFont &base);
QFont headline(const QFont &base);
QFont subheadline(const QFont &base);
QFont callout(const QFont &base);
QFont title(const QFont &base);
QFont title2(const QFont &base);
QFont title3(const QFont &base);
QFont monospaced(const QFont &base);
} // namespace textStyle

} // namespace cordavelle
