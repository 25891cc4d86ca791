#include "setup/wizard/wizard_components.h"

#include "widgets/form_parts.h"
#include "widgets/status_look.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace cordavelle {

namespace {

constexpr int kBoxRadius = 8;
constexpr double kInfoBoxTint = 0.10;

} // namespace

QVBoxLayout *wizardPageColumn(QWidget *page)
{
    auto *column = bareColumn(page, 24);
    return column;
}

void wizardInstallPage(QWidget *page, QWidget *head, std::initializer_list<QWidget *> lines, QWidget *foot)
{
    QVBoxLayout *column = wizardPageColumn(page);
    column->addWidget(head);
    column->addWidget(divider());
    auto *rows = new QVBoxLayout;
    rows->setSpacing(16);
    for (QWidget *line : lines) {
        rows->addWidget(line);
    }
    column->addLayout(rows);
    column->addStretch();
    column->addWidget(foot);
}

QWidget *wizardHeader(const QString &symbol, const QString &title, const QString &subtitle, const WizardHeaderLook &look)
{
    auto *header = new QWidget;
    header->setObjectName(QStringLiteral("wizardHeader"));
    auto *column = bareColumn(header, 8);
    column->addWidget(symbolLabel(symbol, look.symbolTone, look.symbolSize, header), 0, Qt::AlignHCenter);

    auto *titleLabel = new QLabel(title, header);
    titleLabel->setObjectName(QStringLiteral("wizardTitle"));
    titleLabel->setTextFormat(Qt::PlainText);
    titleLabel->setWordWrap(true);
    titleLabel->setAlignment(Qt::AlignCenter);
    QFont titleFont = textStyle::title(header->font());
    if (look.titlePointSize > 0) {
        titleFont.setPointSize(look.titlePointSize);
    }
    titleFont.setWeight(QFont::Bold);
    titleLabel->setFont(titleFont);
    column->addWidget(titleLabel);

    auto *subtitleLabel = new QLabel(header);
    subtitleLabel->setObjectName(QStringLiteral("wizardSubtitle"));
    subtitleLabel->setWordWrap(true);
    subtitleLabel->setAlignment(Qt::AlignCenter);
    if (look.largeSubtitle) {
        subtitleLabel->setFont(textStyle::title3(header->font()));
    }
    setToneText(subtitleLabel, subtitle, Tone::secondary);
    column->addWidget(subtitleLabel);
    return header;
}

WizardTintedBox::WizardTintedBox(QColor colour, double opacity, QWidget *parent) : QFrame(parent), m_fill(colour)
{
    m_fill.setAlphaF(float(opacity));
}

void WizardTintedBox::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), kBoxRadius, kBoxRadius);
    painter.fillPath(path, m_fill);
}

WizardInfoBox::WizardInfoBox(const QString &title, const QString &message, QWidget *parent)
    : WizardTintedBox(toneColour(Tone::blue, QPalette()), kInfoBoxTint, parent), m_title(new QLabel(this)), m_message(new QLabel(this))
{
    setObjectName(QStringLiteral("wizardInfoBox"));
    auto *row = new QHBoxLayout(this);
    row->setSpacing(12);
    const int iconSize = QFontMetrics(font()).height();
    auto *icon = symbolLabel(QStringLiteral("info.circle.fill"), Tone::blue, iconSize, this);
    row->addWidget(icon, 0, Qt::AlignTop);

    auto *text = new QVBoxLayout;
    text->setSpacing(4);
    m_title->setTextFormat(Qt::PlainText);
    m_title->setText(title);
    m_title->setWordWrap(true);
    QFont titleFont = textStyle::subheadline(font());
    titleFont.setWeight(QFont::DemiBold);
    m_title->setFont(titleFont);
    m_message->setTextFormat(Qt::PlainText);
    m_message->setWordWrap(true);
    m_message->setFont(textStyle::caption(font()));
    setToneText(m_message, message, Tone::secondary);
    text->addWidget(m_title);
    text->addWidget(m_message);
    row->addLayout(text, 1);
}

QString WizardInfoBox::title() const { return m_title->text(); }
QString WizardInfoBox::message() const { return m_message->text(); }

} // namespace cordavelle
