#pragma once

#include "widgets/alert_presenter.h"

#include <functional>
#include <vector>

namespace cordavelle::test {

// The alerts presented so far, answered from a script (the first button when the script has run
// out).
class ScriptedAlertPresenter final : public AlertPresenter {
public:
    using AlertPresenter::present;
    int present(const Alert &alert, QWidget *over) override
    {
        shown.push_back(alert);
        owners.push_back(over);
        if (onPresent) {
            onPresent(alert);
        }
        if (answers.empty()) {
            return 0;
        }
        const int answer = answers.front();
        answers.erase(answers.begin());
        return answer;
    }

    std::vector<Alert> shown;
    // The window each alert was said to belong to.
    std::vector<QWidget *> owners;
    std::vector<int> answers;
    std::function<void(const Alert &)> onPresent;
};

} // namespace cordavelle::test
