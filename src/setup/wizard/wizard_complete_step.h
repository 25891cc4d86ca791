#pragma once

#include "setup/wizard/wizard_step.h"

#include <QString>

#include <vector>

class QVBoxLayout;

namespace cordavelle {

class DirewolfDiscovery;
class HamlibInstaller;
class VARAInstaller;
class WineInstaller;
class WinePrefixManager;

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

// The installers and look-ups the summary reads; every test is made afresh on each call.
struct CompletionSources {
    WineInstaller &wine;
    WinePrefixManager &prefix;
    VARAInstaller &varaHF;
    VARAInstaller &varaFM;
    HamlibInstaller &hamlib;
    DirewolfDiscovery &direwolf;
};
CompletionFacts gatherCompletionFacts(const CompletionSources &sources);

// The wizard's last page: set-up is finished, what is in place, and what to do next.
class WizardCompleteStep final : public WizardStep {
    Q_OBJECT
public:
    explicit WizardCompleteStep(CompletionSources sources, QWidget *parent = nullptr);

    void shown() override;
    // The summary as drawn now.
    const std::vector<SummaryRow> &summary() const { return m_summary; }

private:
    void refresh();

    CompletionSources m_sources;
    QVBoxLayout *m_summaryRows;
    std::vector<SummaryRow> m_summary;
};

} // namespace cordavelle
