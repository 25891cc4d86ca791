#pragma once

#include "widgets/status_look.h"

#include <QColor>
#include <QFrame>
#include <QString>

#include <initializer_list>

class QLabel;
class QVBoxLayout;

namespace cordavelle {

// A rounded box (corner radius 8) filled with one colour at a low opacity: the wizard's
// information boxes, feature rows, cards and summaries.
class WizardTintedBox : public QFrame {
    Q_OBJECT
public:
    WizardTintedBox(QColor colour, double opacity, QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_fill;
};

// The wizard pages' information box: a blue "info" symbol beside a semibold title and a
// wrapping secondary message, on a pale blue rounded box that spans the page.
class WizardInfoBox final : public WizardTintedBox {
    Q_OBJECT
public:
    WizardInfoBox(const QString &title, const QString &message, QWidget *parent = nullptr);

    QString title() const;
    QString message() const;

private:
    QLabel *m_title;
    QLabel *m_message;
};

// Lays `page` out as the wizard shows its pages: one column, elements 24 points apart, no
// margins of its own (the wizard's column has them), and returns that column.
QVBoxLayout *wizardPageColumn(QWidget *page);
// Lays `page` out as a wizard page that installs: `head`, a divider, the install lines 16 points
// apart, room to spare, and `foot` at the bottom.
void wizardInstallPage(QWidget *page, QWidget *head, std::initializer_list<QWidget *> lines, QWidget *foot);

// The head of a wizard page, centred, its lines 8 points apart: a large blue symbol, a bold
// title and a secondary subtitle.
struct WizardHeaderLook {
    int symbolSize = 60;
    Tone symbolTone = Tone::blue;
    // Point size of the title; 0 for the title text style.
    int titlePointSize = 0;
    bool largeSubtitle = false;
};
QWidget *wizardHeader(const QString &symbol, const QString &title, const QString &subtitle,
                      const WizardHeaderLook &look = {});

} // namespace cordavelle
