#pragma once

#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;

namespace cordavelle {

// The command that an advice ends with ("… Or install Debian's package: sudo apt install
// cabextract"): from the last "sudo " to the end of that line or a closing backtick; empty when
// the text names none.
QString adviceCommand(const QString &text);

// A shell command the user may run instead of what the helper offers, in a fixed-width font
// that can be selected, with a Copy button that puts it on the clipboard whole.
class CopyableCommand final : public QWidget {
    Q_OBJECT
public:
    explicit CopyableCommand(QWidget *parent = nullptr);

    // Hidden while `command` is empty.
    void setCommand(const QString &command);
    QString command() const;
    QPushButton *copyButton() const { return m_copy; }

private:
    QLabel *m_command;
    QPushButton *m_copy;
};

} // namespace cordavelle
