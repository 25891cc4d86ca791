#pragma once

#include <QString>
#include <QWidget>

namespace cordavelle {

class WrappingText;

// An installer's failure under its row: the message in red caption type beside a red warning
// symbol.
class WizardErrorLabel final : public QWidget {
    Q_OBJECT
public:
    explicit WizardErrorLabel(const QString &message, QWidget *parent = nullptr);

    QString message() const;
    void setMessage(const QString &message);

private:
    WrappingText *m_text;
};

} // namespace cordavelle
