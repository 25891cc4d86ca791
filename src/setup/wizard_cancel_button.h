#pragma once

#include <QToolButton>

#include <functional>

namespace cordavelle {

// The small round button beside a running install that cancels it, at once and without asking:
// the one every setup line shows, in the wizard and in the checklist alike.
class WizardCancelButton final : public QToolButton {
    Q_OBJECT
public:
    explicit WizardCancelButton(std::function<void()> action, QWidget *parent = nullptr);
};

} // namespace cordavelle
