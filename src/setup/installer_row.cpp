#include "installer_row.h"

#include "setup/wizard_cancel_button.h"
#include "widgets/accent_style.h"
#include "widgets/busy_bar.h"
#include "widgets/copyable_command.h"
#include "widgets/form_parts.h"
#include "widgets/wrapping_text.h"

#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace cordavelle {

namespace {

constexpr int kStatusWidth = 260;

} // namespace

int wholePercent(double fraction)
{
    if (std::isnan(fraction) || fraction <= 0.0) {
        return 0;
    }
    if (fraction >= 1.0) {
        return 100;
    }
    return int(std::trunc(fraction * 100.0));
}

QString percentText(double fraction)
{
    return QString::number(wholePercent(fraction)) + QLatin1Char('%');
}

QString stepWords(const InstallProgress &progress, QStringView ellipsis)
{
    using Phase = InstallProgress::Phase;
    const auto ended = [ellipsis](QString words) { return words.append(ellipsis); };
    switch (progress.phase) {
    case Phase::preparing: return ended(QStringLiteral("Preparing"));
    case Phase::downloading: return ended(QStringLiteral("Downloading"));
    case Phase::extracting: return ended(QStringLiteral("Extracting"));
    case Phase::installing: return ended(QStringLiteral("Installing"));
    case Phase::fixing: return ended(QStringLiteral("Fixing OCX"));
    case Phase::verifying: return ended(QStringLiteral("Verifying"));
    case Phase::settingUp: return progress.message;
    case Phase::idle:
    case Phase::complete:
    case Phase::failed: break;
    }
    return {};
}

void setFailureText(InstallerRowLook &look, const QString &error)
{
    look.error = error;
    look.command = adviceCommand(error);
}

Tone rowIconTone(RowIcon icon)
{
    switch (icon) {
    case RowIcon::installed: return Tone::green;
    case RowIcon::missing: return Tone::gray;
    case RowIcon::working: return Tone::yellow;
    case RowIcon::failed: return Tone::red;
    case RowIcon::update: return Tone::orange;
    }
    return Tone::gray;
}

QString rowIconMeaning(RowIcon icon)
{
    switch (icon) {
    case RowIcon::installed: return QStringLiteral("Installed");
    case RowIcon::missing: return QStringLiteral("Not installed");
    case RowIcon::working: return QStringLiteral("Working");
    case RowIcon::failed: return QStringLiteral("Needs attention");
    case RowIcon::update: return QStringLiteral("Update available");
    }
    return {};
}

// The leading mark, painted so that it looks the same under every icon theme.
class RowMark final : public QWidget {
public:
    explicit RowMark(QWidget *parent) : QWidget(parent) { setFixedSize(24, 20); }

    void setIcon(RowIcon icon)
    {
        m_icon = icon;
        setAccessibleName(rowIconMeaning(icon));
        update();
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor colour = toneColour(rowIconTone(m_icon), palette());
        const qreal d = 16.0;
        const QRectF circle((width() - d) / 2.0, (height() - d) / 2.0, d, d);
        const QPointF c = circle.center();
        switch (m_icon) {
        case RowIcon::missing:
            painter.setPen(QPen(colour, 1.5));
            painter.drawEllipse(circle.adjusted(0.75, 0.75, -0.75, -0.75));
            break;
        case RowIcon::working: {
            QPen pen(colour, 2.0, Qt::SolidLine, Qt::RoundCap);
            pen.setDashPattern({0.01, 2.2});
            painter.setPen(pen);
            painter.drawEllipse(circle.adjusted(1, 1, -1, -1));
            break;
        }
        case RowIcon::installed: {
            painter.setPen(Qt::NoPen);
            painter.setBrush(colour);
            painter.drawEllipse(circle);
            painter.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            QPainterPath tick(c + QPointF(-4.0, 0.2));
            tick.lineTo(c + QPointF(-1.2, 3.0));
            tick.lineTo(c + QPointF(4.0, -2.8));
            painter.setBrush(Qt::NoBrush);
            painter.drawPath(tick);
            break;
        }
        case RowIcon::failed:
            painter.setPen(Qt::NoPen);
            painter.setBrush(colour);
            painter.drawEllipse(circle);
            painter.setPen(QPen(Qt::white, 2.0, Qt::SolidLine, Qt::RoundCap));
            painter.drawLine(c + QPointF(0, -4.0), c + QPointF(0, 1.0));
            painter.drawPoint(c + QPointF(0, 4.0));
            break;
        case RowIcon::update: {
            painter.setPen(QPen(colour, 1.5));
            painter.drawEllipse(circle.adjusted(0.75, 0.75, -0.75, -0.75));
            const QRectF arc = circle.adjusted(4, 4, -4, -4);
            painter.drawArc(arc, 30 * 16, 150 * 16);
            painter.drawArc(arc, 210 * 16, 150 * 16);
            break;
        }
        }
    }

private:
    RowIcon m_icon = RowIcon::missing;
};

InstallerRow::InstallerRow(QWidget *parent) : QWidget(parent)
{
    auto *column = bareColumn(this, 0);

    // Set outright: a nested layout would take the column's spacing of 0.
    auto *line = new QHBoxLayout;
    line->setSpacing(8);
    m_mark = new RowMark(this);
    line->addWidget(m_mark, 0, Qt::AlignVCenter);
    auto *names = new QVBoxLayout;
    names->setSpacing(2);
    m_title = new QLabel(this);
    m_title->setTextFormat(Qt::PlainText);
    m_title->setFont(textStyle::headline(m_title->font()));
    m_subtitle = captionLabel(QString(), Tone::secondary, this);
    names->addWidget(m_title);
    names->addWidget(m_subtitle);
    line->addLayout(names, 1);

    m_spinner = new BusyBar(this);
    m_spinner->setFixedSize(40, 8);
    m_bar = new QProgressBar(this);
    m_bar->setRange(0, 1000);
    m_bar->setTextVisible(false);
    m_bar->setFixedSize(80, 8);
    m_status = captionLabel(QString(), Tone::secondary, this);
    m_status->setWordWrap(false);
    m_button = new QPushButton(this);
    m_button->setFont(textStyle::caption(m_button->font()));
    m_accentButton = new AccentButton(QString(), this);
    m_accentButton->setFont(textStyle::caption(m_accentButton->font()));
    m_check = new RowMark(this);
    m_check->setIcon(RowIcon::installed);
    m_cancel = new WizardCancelButton([this] { Q_EMIT commandTriggered(RowCommand::cancel); }, this);
    for (QWidget *part : {static_cast<QWidget *>(m_spinner), static_cast<QWidget *>(m_bar),
                          static_cast<QWidget *>(m_status), static_cast<QWidget *>(m_button),
                          static_cast<QWidget *>(m_accentButton), static_cast<QWidget *>(m_check),
                          static_cast<QWidget *>(m_cancel)}) {
        line->addWidget(part, 0, Qt::AlignVCenter);
    }
    column->addLayout(line);

    m_errorLine = new QWidget(this);
    auto *errorRow = new QHBoxLayout(m_errorLine);
    errorRow->setContentsMargins(0, 4, 0, 0);
    errorRow->setSpacing(4);
    m_errorMark = symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), Tone::red, 12, m_errorLine);
    m_error = new WrappingText(m_errorLine);
    m_error->setFont(textStyle::caption(m_error->font()));
    errorRow->addWidget(m_errorMark, 0, Qt::AlignTop);
    errorRow->addWidget(m_error, 1);
    column->addWidget(m_errorLine);
    m_note = captionLabel(QString(), Tone::secondary, this);
    m_note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_note->setContentsMargins(32, 4, 0, 0);
    column->addWidget(m_note);
    m_command = new CopyableCommand(this);
    m_command->setContentsMargins(32, 0, 0, 0);
    column->addWidget(m_command);

    for (QPushButton *button : {m_button, static_cast<QPushButton *>(m_accentButton)}) {
        connect(button, &QPushButton::clicked, this, [this] {
            if (m_look.button) {
                Q_EMIT commandTriggered(m_look.button->command);
            }
        });
    }

    display(m_look);
}

void InstallerRow::display(const InstallerRowLook &look)
{
    m_look = look;
    m_mark->setIcon(look.icon);
    m_title->setText(look.title);
    m_subtitle->setText(look.subtitle);
    m_spinner->setVisible(look.indicator == InstallerRowLook::Indicator::spinner);
    m_bar->setVisible(look.indicator == InstallerRowLook::Indicator::bar);
    // The same clamping as the percentage, so that bar and text never disagree.
    m_bar->setValue(wholePercent(look.fraction) * 10);
    QFont statusFont = textStyle::caption(font());
    if (look.indicator == InstallerRowLook::Indicator::bar) {
        // Digits of one width, so that the percentage does not jiggle as it counts.
        statusFont.setFamily(textStyle::monospaced(font()).family());
    }
    m_status->setFont(statusFont);
    // One line: a long step text is cut short rather than pushing the line wider than the page.
    const QString reason = look.button && !look.button->enabled ? look.button->disabledReason : QString();
    const bool showsReason = look.status.isEmpty() && !reason.isEmpty();
    const QString status = showsReason ? reason : look.status;
    const QString shown = QFontMetrics(statusFont).elidedText(status, Qt::ElideRight, kStatusWidth);
    setToneText(m_status, shown, showsReason ? Tone::secondary : look.statusTone);
    m_status->setToolTip(shown == status ? QString() : status);
    m_status->setVisible(!status.isEmpty());
    const bool accent = look.button && look.button->accent;
    m_button->setVisible(look.button && !accent);
    m_accentButton->setVisible(accent);
    if (QPushButton *shown = button()) {
        shown->setText(look.button->label);
        shown->setEnabled(look.button->enabled);
        shown->setToolTip(reason);
    }
    m_check->setVisible(look.trailingCheck);
    m_cancel->setVisible(look.cancelHelp.has_value());
    m_cancel->setToolTip(look.cancelHelp.value_or(QString()));
    // The button shows only its symbol: assistive technology reads its help, or plain "Cancel".
    m_cancel->setAccessibleName(look.cancelHelp.value_or(QString()).isEmpty() ? QStringLiteral("Cancel")
                                                                              : *look.cancelHelp);
    m_error->setToneText(look.error, Tone::red);
    m_errorLine->setVisible(!look.error.isEmpty());
    m_note->setText(look.note);
    m_note->setVisible(!look.note.isEmpty());
    m_command->setCommand(look.command);
}

QPushButton *InstallerRow::button() const
{
    if (!m_look.button) {
        return nullptr;
    }
    return m_look.button->accent ? m_accentButton : m_button;
}

QMenu *InstallerRow::contextMenu()
{
    if (m_look.menuItem.isEmpty()) {
        return nullptr;
    }
    delete m_menu;
    m_menu = new QMenu(this);
    QAction *item = m_menu->addAction(m_look.menuItem);
    if (!m_look.menuItemUnavailable.isEmpty()) {
        item->setEnabled(false);
        item->setToolTip(m_look.menuItemUnavailable);
        m_menu->setToolTipsVisible(true);
    }
    // Destructive: said in red, as the desktop has no role for it.
    QPalette palette = m_menu->palette();
    for (QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText}) {
        palette.setColor(role, toneColour(Tone::red, palette));
    }
    m_menu->setPalette(palette);
    connect(item, &QAction::triggered, this, [this] { Q_EMIT commandTriggered(RowCommand::menu); });
    return m_menu;
}

void InstallerRow::contextMenuEvent(QContextMenuEvent *event)
{
    if (QMenu *menu = contextMenu()) {
        menu->popup(event->globalPos());
        event->accept();
        return;
    }
    QWidget::contextMenuEvent(event);
}

} // namespace cordavelle
