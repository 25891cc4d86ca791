#include "setup/wizard/wizard_error_label.h"

#include "widgets/form_parts.h"
#include "widgets/status_look.h"

#include <QHBoxLayout>
#include <QLabel>

namespace cordavelle {

WizardErrorLabel::WizardErrorLabel(const QString &message, QWidget *parent)
    : QWidget(parent), m_text(captionLabel(message, Tone::red, this))
{
    setObjectName(QStringLiteral("wizardErrorLabel"));
    auto *row = bareRow(this, 4);
    m_text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    const int iconSize = QFontMetrics(m_text->font()).height();
    row->addWidget(symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), Tone::red, iconSize, this), 0,
                   Qt::AlignTop);
    row->addWidget(m_text, 1);
}

QString WizardErrorLabel::message() const { return m_text->text(); }

void WizardErrorLabel::setMessage(const QString &message) { setToneText(m_text, message, Tone::red); }

} // namespace cordavelle
