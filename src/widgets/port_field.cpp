#include "widgets/port_field.h"

#include "widgets/form_parts.h"

#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace cordavelle {

PortField::PortField(const QString &label, qint64 port, QWidget *parent) : QWidget(parent), m_port(port)
{
    auto *column = bareColumn(this, 2);
    auto *row = new QHBoxLayout;
    m_label = new QLabel(label);
    m_edit = new QLineEdit;
    m_edit->setFixedWidth(80);
    m_edit->setAccessibleName(label);
    m_label->setBuddy(m_edit);
    row->addWidget(m_label);
    row->addStretch();
    row->addWidget(m_edit);
    column->addLayout(row);
    m_problem = captionLabel(invalidPortText(), Tone::red);
    m_problem->setAlignment(Qt::AlignRight);
    m_problem->hide();
    column->addWidget(m_problem);
    m_edit->installEventFilter(this);

    // Flagged while typing; nothing is stored on the way to the port the user means.
    connect(m_edit, &QLineEdit::textEdited, this, [this](const QString &text) {
        m_problem->setVisible(!text.trimmed().isEmpty() && !parsePort(text));
    });
    connect(m_edit, &QLineEdit::returnPressed, this, [this] {
        if (!commit() && m_edit->text().trimmed().isEmpty()) {
            restore();
        }
    });
    restore();
}

void PortField::setPort(qint64 port)
{
    m_port = port;
    if (!m_edit->hasFocus()) {
        restore();
    }
}

bool PortField::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_edit && event->type() == QEvent::FocusOut) {
        // Handled once the event has been dealt with: a focus lost because the window is going
        // must not reach the page's handlers while the page is torn down.
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!m_edit->hasFocus() && !commit()) {
                    restore();
                }
            },
            Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

bool PortField::commit()
{
    const std::optional<int> parsed = parsePort(m_edit->text());
    if (!parsed) {
        m_problem->setVisible(!m_edit->text().trimmed().isEmpty());
        return false;
    }
    const bool changed = *parsed != m_port;
    m_port = *parsed;
    restore();
    if (changed) {
        Q_EMIT portEdited(*parsed);
    }
    return true;
}

void PortField::restore()
{
    m_problem->hide();
    const QString text = QString::number(m_port);
    if (m_edit->text() != text) {
        m_edit->setText(text);
    }
}

} // namespace cordavelle
