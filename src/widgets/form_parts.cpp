#include "form_parts.h"

#include <QApplication>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QTextDocument>
#include <QVBoxLayout>

namespace cordavelle {

namespace {

template <class Layout>
Layout *bareLayout(QWidget *owner, int spacing)
{
    auto *layout = new Layout(owner);
    layout->setContentsMargins(0, 0, 0, 0);
    if (spacing >= 0) {
        layout->setSpacing(spacing);
    }
    return layout;
}

} // namespace

QHBoxLayout *bareRow(QWidget *owner, int spacing) { return bareLayout<QHBoxLayout>(owner, spacing); }

QVBoxLayout *bareColumn(QWidget *owner, int spacing) { return bareLayout<QVBoxLayout>(owner, spacing); }

QString shownWords(const QString &text, Qt::TextFormat format)
{
    if (format == Qt::AutoText) {
        format = Qt::mightBeRichText(text) ? Qt::RichText : Qt::PlainText;
    }
    if (format == Qt::PlainText) {
        return text;
    }
    QTextDocument document;
    if (format == Qt::MarkdownText) {
        document.setMarkdown(text);
    } else {
        document.setHtml(text);
    }
    // A non-breaking space is a space to a listener.
    return document.toPlainText().replace(QChar::Nbsp, QLatin1Char(' ')).trimmed();
}

void setMarkedUpText(QLabel *label, const QString &text, Qt::TextFormat format)
{
    label->setTextFormat(format);
    label->setText(text);
    label->setAccessibleName(shownWords(text, format));
}

void setHelpText(QWidget *widget, const QString &help)
{
    widget->setToolTip(help);
    widget->setAccessibleDescription(help.contains(QLatin1Char('`')) ? shownWords(help, Qt::MarkdownText) : help);
}

void MiddleElidedLabel::setFullText(const QString &text)
{
    m_full = text;
    setToolTip(text);
    elide();
}

QSize MiddleElidedLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }

QSize MiddleElidedLabel::sizeHint() const { return {fontMetrics().horizontalAdvance(m_full), QLabel::sizeHint().height()}; }

void MiddleElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    elide();
}

namespace {

// `text` in lines no wider than `width`, broken at spaces; a word wider than a line is broken
// where it must.
QStringList linesAtSpaces(const QString &text, const QFontMetrics &metrics, int width)
{
    QStringList lines;
    QString line;
    const auto fits = [&](const QString &candidate) { return metrics.horizontalAdvance(candidate) <= width; };
    for (QString word : text.split(QLatin1Char(' '))) {
        const QString joined = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
        if (fits(joined)) {
            line = joined;
            continue;
        }
        if (!line.isEmpty()) {
            lines << line;
        }
        while (!fits(word)) {
            qsizetype first = 1;
            while (first < word.size() && fits(word.left(first + 1))) {
                ++first;
            }
            lines << word.left(first);
            word = word.mid(first);
        }
        line = word;
    }
    lines << line;
    return lines;
}

} // namespace

void MiddleElidedLabel::elide()
{
    const QFontMetrics metrics = fontMetrics();
    const int lineWidth = qMax(1, width());
    QStringList lines = linesAtSpaces(m_full, metrics, lineWidth);
    // Too long for its lines: cut in the middle, a little more each time, until the rest fits.
    const int step = qMax(1, metrics.averageCharWidth());
    for (int budget = m_lines * lineWidth; lines.size() > m_lines && budget > 0; budget -= step) {
        lines = linesAtSpaces(metrics.elidedText(m_full, Qt::ElideMiddle, budget), metrics, lineWidth);
    }
    setText(lines.join(QLatin1Char('\n')));
}

QLabel *captionLabel(const QString &text, Tone tone, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setWordWrap(true);
    label->setFont(textStyle::caption(label->font()));
    setToneText(label, text, tone);
    return label;
}

void setToneText(QLabel *label, const QString &text, Tone tone)
{
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    QPalette palette = label->palette();
    // The faded tones fade the text colour the label inherits, not the tone it was given before.
    const QPalette inherited = label->parentWidget() ? label->parentWidget()->palette() : QApplication::palette(label);
    palette.setColor(QPalette::WindowText, toneColour(tone, inherited));
    label->setPalette(palette);
}

QGroupBox *formSection(const QString &title)
{
    auto *box = new QGroupBox(title);
    new QVBoxLayout(box);
    return box;
}

QScrollArea *fillWithScrollArea(QWidget *owner)
{
    auto *scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    bareColumn(owner)->addWidget(scroll);
    return scroll;
}

QVBoxLayout *scrollingColumn(QWidget *page)
{
    QScrollArea *scroll = fillWithScrollArea(page);
    auto *body = new QWidget;
    scroll->setWidget(body);
    auto *column = new QVBoxLayout(body);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(0);
    return column;
}

QFrame *divider()
{
    auto *line = new QFrame;
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLabel *symbolLabel(const QString &symbol, Tone tone, int size, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setPixmap(tintedPixmap(symbolIcon(symbol), size, toneColour(tone, label->palette()), label->devicePixelRatioF()));
    label->setFixedSize(size, size);
    // A warning triangle says the same wherever it stands; other symbols are named where their
    // meaning is known.
    if (symbol.startsWith(QLatin1String("exclamationmark"))) {
        label->setAccessibleName(QStringLiteral("Needs attention"));
    }
    return label;
}

} // namespace cordavelle
