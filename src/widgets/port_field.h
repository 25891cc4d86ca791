#pragma once

#include "base/tcp_port.h"

#include <QString>
#include <QWidget>

#include <optional>

class QLabel;
class QLineEdit;

namespace cordavelle {

// A labelled one-line field for one TCP port of a service. The port is reported when the user
// commits it (Return, or leaving the field), never on the way there. Text that is no port is
// flagged under the field at once and never reported: Return keeps it there to be corrected,
// leaving the field puts back the last valid port.
class PortField final : public QWidget {
    Q_OBJECT
public:
    PortField(const QString &label, qint64 port, QWidget *parent = nullptr);

    // Shows a port without reporting it; text the user is still typing is left alone.
    void setPort(qint64 port);
    qint64 port() const { return m_port; }
    QLineEdit *lineEdit() const { return m_edit; }
    // The line under the field that refuses text that is no port; hidden while there is none.
    QLabel *problemLabel() const { return m_problem; }

Q_SIGNALS:
    void portEdited(int port);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Reports a valid port and tidies the text; false (with the problem shown) for anything else.
    bool commit();
    void restore();

    qint64 m_port;
    QLabel *m_label;
    QLineEdit *m_edit;
    QLabel *m_problem;
};

} // namespace cordavelle
