#pragma once

#include "app/reset_section_model.h"

#include <QDialog>
#include <QGroupBox>
#include <QPointer>

#include <map>

class QPushButton;

namespace cordavelle {

class AlertPresenter;

// The result of one reset level: what was done, the warnings, and one button (Done, or Quit
// after the full reset) bound to Return.
class ResetResultSheet final : public QDialog {
    Q_OBJECT
public:
    explicit ResetResultSheet(const ResetSheet &sheet, QWidget *parent = nullptr);
    QPushButton *button() const { return m_button; }

private:
    QPushButton *m_button;
};

// The settings window's "Reset" section: a row per level, a confirmation before each run, and
// the result sheet afterwards. The levels themselves are the model's runner's.
class ResetSection final : public QGroupBox {
    Q_OBJECT
public:
    // `prefixPath` and `home` only shape the texts shown.
    ResetSection(ResetSectionModel &model, AlertPresenter &alerts, QString prefixPath, QString home,
                 QWidget *parent = nullptr);

    QPushButton *button(ResetLevel level) const { return m_buttons.at(level); }
    ResetResultSheet *sheet() const { return m_sheet; }

private:
    void ask(ResetLevel level);
    void refresh();

    ResetSectionModel &m_model;
    AlertPresenter &m_alerts;
    QString m_prefixPath;
    QString m_home;
    std::map<ResetLevel, QPushButton *> m_buttons;
    QPointer<ResetResultSheet> m_sheet;
};

} // namespace cordavelle
