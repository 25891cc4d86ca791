#pragma once

#include <QString>
#include <QWidget>

#include <optional>

class QLabel;
class QLineEdit;

namespace cordavelle {

// A TCP port typed by the user: ASCII digits only (no sign, no grouping, whatever the
// locale), surrounding spaces ignored, 1 to 65535.
std::optional<int> parsePort(const QString &text);

// A labelled one-line field for one TCP port of a service. A port is reported only when the
// user has typed a valid one; anything else is refused in the field and, when the field is
// left, replaced again by the port last shown or reported.
class PortField final : public QWidget {
    Q_OBJECT
public:
    PortField(const QString &label, qint64 port, QWidget *parent = nullptr);

    // Shows a port without reporting it.
    void setPort(qint64 port);
    qint64 port() const { return m_port; }
    QLineEdit *lineEdit() const { return m_edit; }

Q_SIGNALS:
    void portEdited(int port);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void restore();

    qint64 m_port;
    QLabel *m_label;
    QLineEdit *m_edit;
};

} // namespace cordavelle
