#pragma once

#include "app/setup_installers.h"
#include "widgets/status_look.h"
#include "setup/wizard/wizard_navigation.h"
#include "setup/wizard/wizard_step.h"

#include <QString>
#include <QStringList>

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
    // What the Features page chose: Wine and its prefix come with either modem.
    bool wineChosen = true;
    bool varaHFChosen = true;
    bool varaFMChosen = true;
    bool hamlibChosen = true;
    bool direwolfChosen = true;
};

struct SummaryRow {
    QString symbol;
    QString title;
    QString value;
    bool good = false;
    bool failed = false;
    bool installing = false;
    // The user chose it, and it is not there, nor failed, nor on its way.
    bool missing = false;
    bool chosen = true;
    bool operator==(const SummaryRow &) const = default;
};

// The six components, always all of them and in this order. One the user chose that is not there
// reads "Not installed" ("Not set up" for the prefix) and needs attention; one not chosen reads
// "Skipped"; a failed install reads "Failed", and one still under way "Installing…".
std::vector<SummaryRow> completionSummary(const CompletionFacts &facts);
// Something chosen failed, is missing or is still being installed: after Done, the Setup page is
// the place to be.
bool completionNeedsAttention(const std::vector<SummaryRow> &summary);
// Where each wizard step's chosen installs stand, by step index, for the step indicator.
std::vector<StepProgress> wizardStepProgress(const std::vector<SummaryRow> &summary);
// The next steps the page offers: only those the user can take now.
QStringList completionNextSteps(const std::vector<SummaryRow> &summary);

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
    QVBoxLayout *m_nextRows;
    std::vector<SummaryRow> m_summary;
};

} // namespace cordavelle
