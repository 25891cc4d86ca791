#pragma once

#include "app/setup_installers.h"
#include "setup/wizard/wizard_step.h"

#include <QString>

#include <vector>

class QVBoxLayout;

namespace cordavelle {

// What the summary knows of the machine when it is drawn.
struct CompletionFacts {
    bool wineAvailable = false;
    bool prefixReady = false;
    bool varaHFInstalled = false;
    bool varaFMInstalled = false;
    bool rigctldAvailable = false;
    bool direwolfFound = false;
};

struct SummaryRow {
    QString symbol;
    QString title;
    QString value;
    bool good = false;
    bool operator==(const SummaryRow &) const = default;
};

// The six components, always all of them and in this order. Hamlib and Direwolf are optional,
// so their absence reads "Skipped" rather than "Not installed".
std::vector<SummaryRow> completionSummary(const CompletionFacts &facts);

// Every test is made afresh on each call; a Wine or rigctld that a package manager installed
// counts as much as the helper's own.
CompletionFacts gatherCompletionFacts(const SetupInstallers &installers);

// The wizard's last page: set-up is finished, what is in place, and what to do next.
class WizardCompleteStep final : public WizardStep {
    Q_OBJECT
public:
    explicit WizardCompleteStep(const SetupInstallers &installers, QWidget *parent = nullptr);

    void shown() override;
    // The summary as drawn now.
    const std::vector<SummaryRow> &summary() const { return m_summary; }

private:
    void refresh();

    SetupInstallers m_installers;
    QVBoxLayout *m_summaryRows;
    std::vector<SummaryRow> m_summary;
};

} // namespace cordavelle
