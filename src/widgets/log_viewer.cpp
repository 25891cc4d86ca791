#include "widgets/log_viewer.h"

#include "widgets/form_parts.h"
#include "widgets/status_look.h"

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace cordavelle {

QString logLineCountText(qsizetype count)
{
    return QStringLiteral("%1 lines").arg(count);
}

QString logCopyText(const QStringList &lines)
{
    return lines.join(QLatin1Char('\n'));
}

QString logShownLine(const QString &line)
{
    QString shown = line;
    for (QChar &c : shown) {
        const char16_t code = c.unicode();
        if (code < 0x20 && code != u'\t') {
            c = QChar(char16_t(0x2400 + code));
        } else if (code == 0x7f) {
            c = QChar(char16_t(0x2421));
        }
    }
    return shown;
}

std::optional<qsizetype> logScrollTarget(qsizetype previous, qsizetype now)
{
    if (now == previous || now < 1) {
        return std::nullopt;
    }
    return now - 1;
}

namespace {

QToolButton *smallIconButton(const QString &symbol, const QString &help)
{
    auto *button = new QToolButton;
    button->setAutoRaise(true);
    button->setIcon(symbolIcon(symbol));
    button->setIconSize(QSize(14, 14));
    button->setToolTip(help);
    button->setAccessibleName(help);
    return button;
}

} // namespace

LogViewer::LogViewer(std::function<void()> onClear, QWidget *parent) : QWidget(parent), m_onClear(std::move(onClear))
{
    auto *column = bareColumn(this);

    auto *label = new QHBoxLayout;
    m_disclosure = new QToolButton;
    m_disclosure->setAutoRaise(true);
    m_disclosure->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_disclosure->setText(QStringLiteral("Log Output"));
    m_disclosure->setFont(textStyle::headline(font()));
    label->addWidget(m_disclosure);
    label->addStretch();
    m_count = new QLabel;
    m_count->setFont(textStyle::caption(font()));
    QPalette secondary = m_count->palette();
    secondary.setColor(QPalette::WindowText, toneColour(Tone::secondary, secondary));
    m_count->setPalette(secondary);
    label->addWidget(m_count);
    m_copy = smallIconButton(QStringLiteral("doc.on.doc"), QStringLiteral("Copy log to clipboard"));
    m_clear = smallIconButton(QStringLiteral("trash"), QStringLiteral("Clear log"));
    label->addWidget(m_copy);
    label->addWidget(m_clear);
    column->addLayout(label);

    m_placeholder = new QLabel(QStringLiteral("Log output will appear here when the service is running."));
    m_placeholder->setAlignment(Qt::AlignCenter);
    m_placeholder->setFixedHeight(80);
    m_placeholder->setFont(textStyle::caption(font()));
    QPalette tertiary = m_placeholder->palette();
    tertiary.setColor(QPalette::WindowText, toneColour(Tone::tertiary, tertiary));
    m_placeholder->setPalette(tertiary);
    column->addWidget(m_placeholder);

    m_text = new QPlainTextEdit;
    m_text->setReadOnly(true);
    m_text->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_text->setFixedHeight(180);
    m_text->setFont(textStyle::caption(textStyle::monospaced(font())));
    m_text->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_text->setObjectName(QStringLiteral("logLines"));
    m_text->setStyleSheet(QStringLiteral("QPlainTextEdit#logLines { background: palette(base); border: 1px solid "
                                         "palette(mid); border-radius: 6px; padding: 8px; }"));
    column->addWidget(m_text);

    connect(m_disclosure, &QToolButton::clicked, this, [this] { setExpanded(!m_expanded); });
    connect(m_copy, &QToolButton::clicked, this,
            [this] { QApplication::clipboard()->setText(logCopyText(m_lines)); });
    connect(m_clear, &QToolButton::clicked, this, [this] {
        if (m_onClear) {
            m_onClear();
        }
    });
    refresh();
}

void LogViewer::setLogLines(const QStringList &lines)
{
    const qsizetype previous = m_lines.size();
    if (lines == m_lines) {
        return;
    }
    const bool appended = lines.size() > previous && std::equal(m_lines.begin(), m_lines.end(), lines.begin());
    QScrollBar *bar = m_text->verticalScrollBar();
    const int position = bar->value();
    if (appended && previous > 0) {
        for (qsizetype i = previous; i < lines.size(); ++i) {
            m_text->appendPlainText(logShownLine(lines[i]));
        }
    } else {
        QStringList shown;
        shown.reserve(lines.size());
        for (const QString &line : lines) {
            shown << logShownLine(line);
        }
        m_text->setPlainText(logCopyText(shown));
    }
    m_lines = lines;
    if (logScrollTarget(previous, lines.size())) {
        scrollToEnd();
    } else {
        // Same number of lines, other text: the view stays where the reader left it.
        bar->setValue(position);
    }
    refresh();
}

void LogViewer::setExpanded(bool expanded)
{
    if (expanded == m_expanded) {
        return;
    }
    m_expanded = expanded;
    refresh();
    if (expanded) {
        scrollToEnd();
    }
}

void LogViewer::refresh()
{
    m_disclosure->setArrowType(m_expanded ? Qt::DownArrow : Qt::RightArrow);
    m_count->setText(logLineCountText(m_lines.size()));
    m_copy->setVisible(!m_lines.isEmpty());
    m_clear->setVisible(!m_lines.isEmpty() && m_onClear);
    m_placeholder->setVisible(m_expanded && m_lines.isEmpty());
    m_text->setVisible(m_expanded && !m_lines.isEmpty());
}

void LogViewer::scrollToEnd()
{
    m_text->moveCursor(QTextCursor::End);
    m_text->moveCursor(QTextCursor::StartOfLine);
    m_text->verticalScrollBar()->setValue(m_text->verticalScrollBar()->maximum());
}

} // namespace cordavelle
