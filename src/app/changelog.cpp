#include "app/changelog.h"

#include "widgets/form_parts.h"
#include "widgets/status_look.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace cordavelle {

std::vector<ChangelogEntry> parseChangelog(const QString &text)
{
    std::vector<ChangelogEntry> entries;
    ChangelogEntry current;
    const auto flush = [&] {
        if (!current.heading.isEmpty()) {
            entries.push_back(current);
        }
    };
    // Every newline character ends a line; the empty line between CR and LF is ignored like
    // any other line.
    static const QRegularExpression newline(QStringLiteral("[\\n\\r\\x{0B}\\x{0C}\\x{85}\\x{2028}\\x{2029}]"));
    for (const QString &line : text.split(newline)) {
        if (line.startsWith(QLatin1String("## "))) {
            flush();
            current = {line.mid(3), {}};
        } else if (line.startsWith(QLatin1String("- "))) {
            current.items << line.mid(2);
        }
    }
    flush();
    return entries;
}

ChangelogView::ChangelogView(const QString &text, QWidget *parent) : QWidget(parent)
{
    auto *column = bareColumn(this, 12);
    QFont heading = font();
    heading.setWeight(QFont::DemiBold);
    for (const ChangelogEntry &entry : parseChangelog(text)) {
        auto *block = new QVBoxLayout;
        block->setSpacing(4);
        auto *title = new QLabel(entry.heading);
        title->setTextFormat(Qt::PlainText);
        title->setFont(heading);
        block->addWidget(title);
        for (const QString &item : entry.items) {
            auto *row = new QHBoxLayout;
            row->setSpacing(6);
            auto *bullet = new QLabel(QStringLiteral("\u2022"));
            bullet->setFont(textStyle::caption(font()));
            QPalette secondary = bullet->palette();
            secondary.setColor(QPalette::WindowText, toneColour(Tone::secondary, secondary));
            bullet->setPalette(secondary);
            auto *label = new QLabel(item);
            label->setTextFormat(Qt::PlainText);
            label->setWordWrap(true);
            label->setFont(textStyle::caption(font()));
            row->addWidget(bullet, 0, Qt::AlignTop);
            row->addWidget(label, 1);
            block->addLayout(row);
        }
        column->addLayout(block);
    }
    column->addStretch();
}

} // namespace cordavelle
