#include "wrapping_text.h"

#include <QApplication>
#include <QRegularExpression>
#include <QTextDocument>

#include <algorithm>
#include <cmath>
#include <memory>

namespace cordavelle {

namespace {

// Words up to this many average characters stay whole, as a label keeps them; only longer ones
// break.
constexpr int kWholeWordChars = 20;
// As wide as a label would like a long text: some 80 characters.
constexpr int kPreferredChars = 80;

} // namespace

WrappingText::WrappingText(QWidget *parent) : QTextEdit(parent)
{
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setFocusPolicy(Qt::ClickFocus);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setLineWrapMode(QTextEdit::WidgetWidth);
    document()->setDocumentMargin(0);
    viewport()->setAutoFillBackground(false);
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void WrappingText::setToneText(const QString &text, Tone tone)
{
    if (text != toPlainText()) {
        setPlainText(text);
    }
    QPalette shown = palette();
    // The faded tones fade the text colour the widget inherits, as a label's do.
    const QPalette inherited = parentWidget() ? parentWidget()->palette() : QApplication::palette(this);
    shown.setColor(QPalette::Text, toneColour(tone, inherited));
    setPalette(shown);
    updateGeometry();
}

int WrappingText::heightForWidth(int width) const
{
    const std::unique_ptr<QTextDocument> laid(document()->clone());
    laid->setTextWidth(width < 0 ? -1 : std::max(1, width - 2 * frameWidth()));
    return int(std::ceil(laid->size().height())) + 2 * frameWidth();
}

QSize WrappingText::sizeHint() const
{
    const std::unique_ptr<QTextDocument> laid(document()->clone());
    laid->setTextWidth(-1);
    const int preferred = kPreferredChars * fontMetrics().averageCharWidth();
    const int width = std::min(int(std::ceil(laid->idealWidth())), preferred) + 2 * frameWidth();
    return {width, heightForWidth(width)};
}

QSize WrappingText::minimumSizeHint() const
{
    int longest = 0;
    static const QRegularExpression space(QStringLiteral("\\s+"));
    for (const QString &word : toPlainText().split(space, Qt::SkipEmptyParts)) {
        longest = std::max(longest, fontMetrics().horizontalAdvance(word));
    }
    const int width = std::min(longest, kWholeWordChars * fontMetrics().averageCharWidth()) + 2 * frameWidth();
    // As a label's: the height of one line; the layout asks the rest for the width it gives.
    return {width, heightForWidth(-1)};
}

} // namespace cordavelle
