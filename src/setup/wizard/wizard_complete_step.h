#pragma once

#include "app/setup_installers.h"
#include "widgets/status_look.h"
#include "setup/wizard/wizard_navigation.h"
#include "setup/wizard/wizard_step.h"

#include <QString>

#include <vector>

class QVBoxLayout;

namespace cordavelle {

class CoalescedRefresh;

// What the summary knows of the machine when it is drawn.
struct CompletionFacts {
    bool wineAvailable = false;
    bool prefixReady = false;
    bool varaHFInstalled = false;
    bool varaFMInstalled = false;
    bool rigctldAvailable = false;
    bool direwolfFound = false;
    // A component the user chose whose install ended in an error and which is not there.
    bool wineFailed = false;
    bool prefixFailed = false;
    bool varaHFFailed = false;
    bool varaFMFailed = false;
    bool hamlibFailed = false;
    // A component whose install is under way now.
    bool wineInstalling = false;
    bool prefixInstalling = false;
    bool varaHFInstalling = false;
    bool varaFMInstalling = false;
    bool hamlibInstalling = false;
};

struct SummaryRow {
    QString symbol;
    QString title;
    QString value;
    bool good = false;
    bool failed = false;
    bool installing = false;
    bool operator==(const SummaryRow &) const = default;
};

// The six components, always all of them and in this order. Hamlib and Direwolf are optional,
// so their absence reads "Skipped" rather than "Not installed"; a failed install reads "Failed",
// and one still under way "Installing…".
std::vector<SummaryRow> completionSummary(const CompletionFacts &facts);
// Something failed or is still being installed: after Done, the Setup page is the place to be.
bool completionNeedsAttention(const std::vector<SummaryRow> &summary);
// The steps of the wizard whose install failed, which the step indicator marks instead of
// checking them off.
std::vector<int> failedWizardSteps(const std::vector<SummaryRow> &summary);

// The page's title over the summary: finished and ready only when nothing chosen failed and no
// install is still under way.
struct CompletionHeadline {
    QString symbol;
    Tone tone = Tone::green;
    QString title;
    QString subtitle;
    bool operator==(const CompletionHeadline &) const = default;
};
CompletionHeadline completionHeadline(const std::vector<SummaryRow> &summary);

// Every test is made afresh on each call; a Wine or rigctld that a package manager installed
// counts as much as the helper's own. Only what `features` chose can count as failed.
CompletionFacts gatherCompletionFacts(const SetupInstallers &installers, const WizardFeatures &features = {});

// The wizard's last page: set-up is finished, what is in place, and what to do next.
class WizardCompleteStep final : public WizardStep {
    Q_OBJECT
public:
    // `features` is the wizard's choice, which outlives its pages.
    WizardCompleteStep(const SetupInstallers &installers, const WizardFeatures &features, QWidget *parent = nullptr);

    void shown() override;
    // The summary as drawn now.
    const std::vector<SummaryRow> &summary() const { return m_summary; }
    const CompletionHeadline &headline() const { return m_headline; }

private:
    void refresh();

    SetupInstallers m_installers;
    const WizardFeatures &m_features;
    CoalescedRefresh *m_refresh;
    QVBoxLayout *m_column;
    QWidget *m_header = nullptr;
    CompletionHeadline m_headline;
    QVBoxLayout *m_summaryRows;
    std::vector<SummaryRow> m_summary;
};

} // namespace cordavelle
