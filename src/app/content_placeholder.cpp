#include "app/content_placeholder.h"

#include "widgets/status_look.h"

#include <QLabel>
#include <QVBoxLayout>

namespace cordavelle {

ContentPlaceholder::ContentPlaceholder(const QString &symbol, const QString &title, QWidget *parent)
    : QWidget(parent), m_title(title)
{
    auto *column = new QVBoxLayout(this);
    column->addStretch();
    auto *icon = new QLabel;
    icon->setAlignment(Qt::AlignCenter);
    icon->setPixmap(tintedPixmap(symbolIcon(symbol), 40, toneColour(Tone::secondary, palette()), devicePixelRatioF()));
    auto *text = new QLabel(title);
    text->setAlignment(Qt::AlignCenter);
    text->setTextFormat(Qt::PlainText);
    text->setFont(textStyle::title2(font()));
    QPalette secondary = text->palette();
    secondary.setColor(QPalette::WindowText, toneColour(Tone::secondary, secondary));
    text->setPalette(secondary);
    column->addWidget(icon);
    column->addWidget(text);
    column->addStretch();
}

} // namespace cordavelle
