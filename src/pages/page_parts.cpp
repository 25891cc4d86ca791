#include "pages/page_parts.h"

#include "widgets/accent_style.h"

#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

namespace cordavelle {

QLabel *pageLabel(const QString &text, Tone tone, QFont (*style)(const QFont &))
{
    auto *label = new QLabel;
    label->setWordWrap(true);
    if (style) {
        label->setFont(style(label->font()));
    }
    setToneText(label, text, tone);
    return label;
}

QGroupBox *pageSection(const QString &title, QWidget *content)
{
    QGroupBox *box = formSection(title);
    box->layout()->addWidget(content);
    return box;
}

QPushButton *pageButton(const QString &label, bool primary, const QString &help)
{
    QPushButton *out = primary ? new AccentButton(label) : new QPushButton(label);
    setHelpText(out, help);
    return out;
}

QToolButton *refreshButton(const QString &text, const QString &help)
{
    auto *button = new QToolButton;
    button->setIcon(symbolIcon(QStringLiteral("arrow.clockwise")));
    if (!text.isEmpty()) {
        button->setText(text);
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    } else {
        button->setAccessibleName(help);
    }
    button->setAutoRaise(true);
    setHelpText(button, help);
    return button;
}

QFrame *noticeBox(const QString &symbol, Tone tone, QWidget *content)
{
    auto *box = new QFrame;
    box->setObjectName(QStringLiteral("noticeBox"));
    const QColor colour = toneColour(tone, box->palette());
    box->setStyleSheet(QStringLiteral("#noticeBox { background: rgba(%1,%2,%3,26); border-radius: 6px; }")
                           .arg(colour.red())
                           .arg(colour.green())
                           .arg(colour.blue()));
    auto *row = new QHBoxLayout(box);
    row->setContentsMargins(8, 8, 8, 8);
    row->addWidget(symbolLabel(symbol, tone, 16), 0, Qt::AlignTop);
    row->addWidget(content, 1);
    return box;
}

void clearRows(QLayout *layout)
{
    // Counted first: a form layout warns when asked for an item it does not have.
    while (layout->count() > 0) {
        QLayoutItem *item = layout->takeAt(0);
        if (!item) {
            return;
        }
        if (QWidget *widget = item->widget()) {
            // Out of the page at once; deleted later, as a row's own button may be what asked.
            widget->hide();
            widget->setParent(nullptr);
            widget->deleteLater();
        }
        if (QLayout *inner = item->layout()) {
            clearRows(inner);
        }
        delete item;
    }
}

std::vector<SerialPort> withSavedPort(const QString &saved, const std::vector<SerialPort> &listed)
{
    if (saved.isEmpty()) {
        return listed;
    }
    for (const SerialPort &port : listed) {
        if (port.id == saved) {
            return listed;
        }
    }
    std::vector<SerialPort> out{SerialPort{saved, QString(saved).remove(QStringLiteral("/dev/cu."))}};
    out.insert(out.end(), listed.begin(), listed.end());
    return out;
}

} // namespace cordavelle
