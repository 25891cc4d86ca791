#include "copyable_command.h"

#include "widgets/form_parts.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace cordavelle {

QString adviceCommand(const QString &text)
{
    // The last one: a failure may quote the command in passing before the advice that ends it.
    const qsizetype start = text.lastIndexOf(QLatin1String("sudo "));
    if (start < 0) {
        return {};
    }
    qsizetype end = text.indexOf(QLatin1Char('\n'), start);
    // Quoted in backticks within a sentence, it ends at the closing one.
    const qsizetype tick = text.indexOf(QLatin1Char('`'), start);
    if (tick >= 0 && (end < 0 || tick < end)) {
        end = tick;
    }
    return text.mid(start, end < 0 ? -1 : end - start).trimmed();
}

CopyableCommand::CopyableCommand(QWidget *parent) : QWidget(parent)
{
    auto *line = new QHBoxLayout(this);
    line->setContentsMargins(0, 4, 0, 0);
    line->setSpacing(8);
    m_command = new QLabel(this);
    m_command->setTextFormat(Qt::PlainText);
    m_command->setWordWrap(true);
    m_command->setFont(textStyle::monospaced(textStyle::caption(m_command->font())));
    m_command->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_copy = new QPushButton(QStringLiteral("Copy"), this);
    m_copy->setFont(textStyle::caption(m_copy->font()));
    line->addWidget(m_command, 1);
    line->addWidget(m_copy, 0, Qt::AlignVCenter);
    connect(m_copy, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(m_command->text()); });
    setVisible(false);
}

void CopyableCommand::setCommand(const QString &command)
{
    m_command->setText(command);
    m_copy->setAccessibleName(QStringLiteral("Copy command"));
    m_copy->setAccessibleDescription(command);
    setVisible(!command.isEmpty());
}

QString CopyableCommand::command() const { return m_command->text(); }

} // namespace cordavelle
