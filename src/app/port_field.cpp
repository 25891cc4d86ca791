#include "app/port_field.h"

#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QValidator>

namespace cordavelle {

namespace {

bool asciiDigits(QStringView text)
{
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
    }
    return true;
}

// Lets through what may still become a port (digits, at most 65535, or nothing yet) and
// refuses every other keystroke.
class PortValidator final : public QValidator {
public:
    using QValidator::QValidator;

    State validate(QString &input, int &) const override
    {
        const QString text = input.trimmed();
        if (parsePort(text)) {
            return Acceptable;
        }
        if (text.isEmpty() || (asciiDigits(text) && text.size() <= 5 && text.toInt() <= 65535)) {
            return Intermediate;
        }
        return Invalid;
    }
};

} // namespace

std::optional<int> parsePort(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > 5 || !asciiDigits(trimmed)) {
        return std::nullopt;
    }
    const int port = trimmed.toInt();
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

PortField::PortField(const QString &label, qint64 port, QWidget *parent) : QWidget(parent), m_port(port)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    m_label = new QLabel(label);
    m_edit = new QLineEdit;
    m_edit->setFixedWidth(80);
    m_edit->setValidator(new PortValidator(m_edit));
    m_edit->setAccessibleName(label);
    m_label->setBuddy(m_edit);
    row->addWidget(m_label);
    row->addStretch();
    row->addWidget(m_edit);
    m_edit->installEventFilter(this);

    connect(m_edit, &QLineEdit::textEdited, this, [this](const QString &text) {
        if (const auto parsed = parsePort(text)) {
            m_port = *parsed;
            Q_EMIT portEdited(*parsed);
        }
    });
    connect(m_edit, &QLineEdit::returnPressed, this, &PortField::restore);
    restore();
}

void PortField::setPort(qint64 port)
{
    m_port = port;
    if (!m_edit->hasFocus() || parsePort(m_edit->text()) != std::optional<int>(static_cast<int>(port))) {
        restore();
    }
}

bool PortField::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edit && event->type() == QEvent::FocusOut) {
        restore();
    }
    return QWidget::eventFilter(watched, event);
}

void PortField::restore()
{
    const QString text = QString::number(m_port);
    if (m_edit->text() != text) {
        m_edit->setText(text);
    }
}

} // namespace cordavelle
