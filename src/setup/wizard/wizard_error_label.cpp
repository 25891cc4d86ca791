#include "setup/wizard/wizard_error_label.h"

#include "widgets/form_parts.h"
#include "widgets/status_look.h"
#include "widgets/wrapping_text.h"

#include <QHBoxLayout>
#include <QLabel>

namespace cordavelle {

WizardErrorLabel::WizardErrorLabel(const QString &message, QWidget *parent)
    : QWidget(parent), m_text(new WrappingText(this))
{
    setObjectName(QStringLiteral("wizardErrorLabel"));
    auto *row = bareRow(this, 4);
    m_text->setFont(textStyle::caption(m_text->font()));
    m_text->setToneText(message, Tone::red);
    const int iconSize = QFontMetrics(m_text->font()).height();
    row->addWidget(symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), Tone::red, iconSize, this), 0,
                   Qt::AlignTop);
    row->addWidget(m_text, 1);
}

QString WizardErrorLabel::message() const { return m_text->text(); }

void WizardErrorLabel::setMessage(const QString &message) { m_text->setToneText(message, Tone::red); }

} // namespace cordavelle
