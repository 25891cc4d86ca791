#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace cordavelle {

// An installer's failure under its row: the message in red caption type beside a red warning
// symbol.
class WizardErrorLabel final : public QWidget {
    Q_OBJECT
public:
    explicit WizardErrorLabel(const QString &message, QWidget *parent = nullptr);

    QString message() const;
    void setMessage(const QString &message);

private:
    QLabel *m_text;
};

} // namespace cordavelle
