#pragma once

#include "base/tcp_port.h"
#include "widgets/setting_note.h"

#include <QString>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;

namespace cordavelle {

// A labelled one-line field for one TCP port of a service. The port is handed to `store` when
// the user commits it (Return, or leaving the field), never on the way there. Text that is no
// port is flagged under the field while it is typed and never stored. A port that is refused,
// because it is no port or because `store` returns why it could not keep it, gives way to the
// stored port again, its reason staying in red under the field until the next edit: the field
// never shows a port that was not stored.
class PortField final : public QWidget {
    Q_OBJECT
public:
    // Stores a committed port; returns why it could not, or nothing once it did.
    using Store = std::function<std::optional<QString>(int port)>;

    PortField(const QString &label, qint64 port, Store store, QWidget *parent = nullptr);

    // Shows the stored port without storing it; text the user is still typing is left alone.
    void setPort(qint64 port);
    qint64 port() const { return m_port; }
    QLineEdit *lineEdit() const { return m_edit; }
    // The line under the field that says why a port was refused; hidden while none was.
    QLabel *problemLabel() const { return m_problem; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void commit();
    void showProblem(const std::optional<QString> &problem);
    void showStoredPort();

    qint64 m_port;
    Store m_store;
    QLabel *m_label;
    QLineEdit *m_edit;
    SettingNote *m_problem;
};

} // namespace cordavelle
