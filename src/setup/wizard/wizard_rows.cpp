#include "setup/wizard/wizard_rows.h"

#include "widgets/form_parts.h"
#include "widgets/status_look.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace cordavelle {

namespace {
constexpr int kSymbolColumn = 32;
constexpr int kSymbolSize = 22;
} // namespace

QHBoxLayout *wizardTextRow(QWidget *row, const QString &symbol, const QString &title, const QString &description,
                           const WizardRowLook &look)
{
    auto *layout = new QHBoxLayout(row);
    layout->setSpacing(16);
    auto *icon = symbolLabel(symbol, Tone::blue, kSymbolSize, row);
    icon->setFixedWidth(kSymbolColumn);
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon, 0, look.topAligned ? Qt::AlignTop : Qt::AlignVCenter);

    auto *texts = new QVBoxLayout;
    texts->setSpacing(look.lineSpacing);
    auto *titleLabel = new QLabel(row);
    titleLabel->setTextFormat(Qt::PlainText);
    titleLabel->setText(title);
    titleLabel->setFont(textStyle::headline(row->font()));
    titleLabel->setWordWrap(true);
    auto *descriptionLabel = new QLabel(row);
    descriptionLabel->setWordWrap(true);
    descriptionLabel->setFont(look.captionDescription ? textStyle::caption(row->font())
                                                      : textStyle::subheadline(row->font()));
    setToneText(descriptionLabel, description, Tone::secondary);
    texts->addWidget(titleLabel);
    texts->addWidget(descriptionLabel);
    layout->addLayout(texts, 1);
    return layout;
}

} // namespace cordavelle
