#include "setup/wizard/wizard_step_indicator.h"

#include "widgets/status_look.h"
#include "setup/wizard/wizard_navigation.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace cordavelle {

namespace {

constexpr int kCircle = 20;
constexpr int kGap = 4;
constexpr int kConnectorMax = 20;
constexpr int kPadX = 24;
constexpr int kPadY = 16;

QColor paleGray()
{
    QColor gray = Qt::gray;
    gray.setAlphaF(0.3f);
    return gray;
}

void drawCheck(QPainter &painter, const QRectF &circle)
{
    QPen pen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    const QPointF c = circle.center();
    QPainterPath path;
    path.moveTo(c + QPointF(-4.5, 0.3));
    path.lineTo(c + QPointF(-1.3, 3.5));
    path.lineTo(c + QPointF(4.5, -3.2));
    painter.drawPath(path);
}

} // namespace

WizardStepIndicator::WizardStepIndicator(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("wizardStepIndicator"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    describe();
}

// What the circles show, for assistive technology: the step the wizard is on, and what each mark
// means.
void WizardStepIndicator::describe()
{
    const QStringList &titles = wizardStepTitles();
    setAccessibleName(QStringLiteral("Step %1 of %2: %3").arg(m_current + 1).arg(titles.size()).arg(titles.value(m_current)));
    QStringList steps;
    for (int i = 0; i < titles.size(); ++i) {
        steps << titles[i] + QStringLiteral(": ") + stepProgressWords(i, m_current, progressOf(i));
    }
    setAccessibleDescription(steps.join(QStringLiteral(", ")));
}

void WizardStepIndicator::setCurrentStep(int step)
{
    if (m_current == step) {
        return;
    }
    m_current = step;
    describe();
    update();
}

StepProgress WizardStepIndicator::progressOf(int index) const
{
    return index >= 0 && std::size_t(index) < m_progress.size() ? m_progress[std::size_t(index)] : StepProgress::done;
}

void WizardStepIndicator::setStepProgress(std::vector<StepProgress> progress)
{
    if (m_progress == progress) {
        return;
    }
    m_progress = std::move(progress);
    describe();
    update();
}

QFont WizardStepIndicator::titleFont() const
{
    QFont f = font();
    f.setPixelSize(11);
    return f;
}

int WizardStepIndicator::rowWidth(int connector) const
{
    const QFontMetrics metrics(titleFont());
    int width = 0;
    const QStringList &titles = wizardStepTitles();
    for (int i = 0; i < titles.size(); ++i) {
        width += kCircle + kGap + metrics.horizontalAdvance(titles[i]);
        if (i + 1 < titles.size()) {
            width += kGap + connector;
        }
    }
    return width;
}

QSize WizardStepIndicator::sizeHint() const
{
    return {rowWidth(kConnectorMax) + 2 * kPadX, qMax(kCircle, QFontMetrics(titleFont()).height()) + 2 * kPadY};
}

QSize WizardStepIndicator::minimumSizeHint() const
{
    // Titles are never cut short; only the connectors give way.
    return {rowWidth(0) + 2 * kPadX, sizeHint().height()};
}

void WizardStepIndicator::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QStringList &titles = wizardStepTitles();
    const int connectors = int(titles.size()) - 1;
    const int spare = width() - 2 * kPadX - rowWidth(0);
    const int connector = qBound(0, connectors > 0 ? spare / connectors : 0, kConnectorMax);
    const QColor accent = palette().color(QPalette::Highlight);
    const QFont title = titleFont();
    const QFontMetrics metrics(title);
    QFont mark = font();
    mark.setPixelSize(10);
    mark.setWeight(QFont::DemiBold);

    int x = (width() - rowWidth(connector)) / 2;
    const int mid = height() / 2;
    for (int i = 0; i < titles.size(); ++i) {
        const StepIndicatorLook look = stepIndicatorLook(i, m_current, progressOf(i));
        const QRectF circle(x, mid - kCircle / 2.0, kCircle, kCircle);
        painter.setPen(Qt::NoPen);
        painter.setBrush(look.failedCircle ? toneColour(Tone::orange, palette()) : look.accentCircle ? accent : paleGray());
        painter.drawEllipse(circle);
        if (look.mark == StepIndicatorLook::Mark::check) {
            drawCheck(painter, circle);
        } else if (look.mark == StepIndicatorLook::Mark::installing) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(Qt::white);
            for (int dot = -1; dot <= 1; ++dot) {
                painter.drawEllipse(circle.center() + QPointF(dot * 4.5, 0), 1.4, 1.4);
            }
        } else if (look.mark == StepIndicatorLook::Mark::skipped) {
            painter.setPen(QPen(toneColour(Tone::secondary, palette()), 1.6, Qt::SolidLine, Qt::RoundCap));
            painter.drawLine(circle.center() + QPointF(-4, 0), circle.center() + QPointF(4, 0));
        } else if (look.mark == StepIndicatorLook::Mark::failed) {
            QFont bold = mark;
            bold.setPixelSize(12);
            bold.setWeight(QFont::Bold);
            painter.setFont(bold);
            painter.setPen(Qt::white);
            painter.drawText(circle, Qt::AlignCenter, QStringLiteral("!"));
        } else {
            painter.setFont(mark);
            painter.setPen(look.whiteMark ? QColor(Qt::white) : toneColour(Tone::secondary, palette()));
            painter.drawText(circle, Qt::AlignCenter, QString::number(i + 1));
        }
        x += kCircle + kGap;

        painter.setFont(title);
        painter.setPen(look.primaryTitle ? palette().color(QPalette::WindowText) : toneColour(Tone::secondary, palette()));
        const int titleWidth = metrics.horizontalAdvance(titles[i]);
        painter.drawText(QRect(x, 0, titleWidth, height()), Qt::AlignVCenter | Qt::AlignLeft, titles[i]);
        x += titleWidth;

        if (look.connector) {
            x += kGap;
            painter.fillRect(QRect(x, mid, connector, 1), look.accentConnector ? accent : paleGray());
            x += connector;
        }
    }
}

} // namespace cordavelle
