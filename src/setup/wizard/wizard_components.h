#pragma once

#include <QFrame>
#include <QString>
#include <QToolButton>

#include <functional>

class QLabel;

namespace cordavelle {

// The wizard pages' information box: a blue "info" symbol beside a semibold title and a
// wrapping secondary message, on a pale blue rounded box that spans the page.
class WizardInfoBox final : public QFrame {
    Q_OBJECT
public:
    WizardInfoBox(const QString &title, const QString &message, QWidget *parent = nullptr);

    QString title() const;
    QString message() const;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLabel *m_title;
    QLabel *m_message;
};

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

// The small round button beside a running install that cancels it, at once and without asking.
class WizardCancelButton final : public QToolButton {
    Q_OBJECT
public:
    explicit WizardCancelButton(std::function<void()> action, QWidget *parent = nullptr);
};

} // namespace cordavelle
