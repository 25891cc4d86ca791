#include "widgets/port_field.h"

#include "widgets/form_parts.h"
#include "widgets/setting_note.h"

#include <QEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace cordavelle {

PortField::PortField(const QString &label, qint64 port, Store store, QWidget *parent)
    : QWidget(parent), m_port(port), m_store(std::move(store))
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
    m_problem = new SettingNote(m_edit, QStringLiteral("The port stays as it was."));
    m_problem->setAlignment(Qt::AlignRight);
    column->addWidget(m_problem);
    m_edit->installEventFilter(this);

    // Flagged while typing; nothing is stored on the way to the port the user means ("8", "83", …).
    connect(m_edit, &QLineEdit::textEdited, this, [this](const QString &text) {
        showProblem(text.trimmed().isEmpty() || parsePort(text) ? std::nullopt : std::optional(invalidPortText()));
    });
    connect(m_edit, &QLineEdit::returnPressed, this, &PortField::commit);
    showStoredPort();
}

void PortField::setPort(qint64 port)
{
    if (port != m_port) {
        // A port stored from elsewhere answers the refusal that was shown.
        m_port = port;
        showProblem(std::nullopt);
    }
    if (!m_edit->hasFocus()) {
        showStoredPort();
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
                if (!m_edit->hasFocus()) {
                    commit();
                }
            },
            Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

void PortField::commit()
{
    const QString text = m_edit->text();
    const std::optional<int> parsed = parsePort(text);
    // An emptied field, or the stored port again, just shows the stored port: a reason already
    // under the field stays until the next edit, also when the focus leaves after Return.
    if (!parsed && !text.trimmed().isEmpty()) {
        showProblem(invalidPortText());
    } else if (parsed && *parsed != m_port) {
        const StoreAnswer answer = m_store(*parsed);
        if (!answer) {
            m_port = *parsed;
        }
        m_problem->answer(answer);
    }
    showStoredPort();
}

void PortField::showProblem(const std::optional<QString> &problem) { m_problem->say(problem); }

void PortField::showStoredPort()
{
    const QString text = QString::number(m_port);
    if (m_edit->text() != text) {
        m_edit->setText(text);
    }
}

} // namespace cordavelle
