#include "setup/wizard/wizard_complete_step.h"

#include "widgets/coalesced_refresh.h"
#include "widgets/form_parts.h"
#include "widgets/status_look.h"
#include "base/tool_lookup.h"
#include "core/service_orchestrator.h"
#include "install/hamlib_installer.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"
#include "radio/direwolf_discovery.h"
#include "setup/wizard/wizard_components.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>

namespace cordavelle {

namespace {

QWidget *summaryRow(const SummaryRow &row)
{
    auto *widget = new QWidget;
    widget->setObjectName(QStringLiteral("summaryRow"));
    auto *layout = bareRow(widget, 16);
    auto *icon = symbolLabel(row.symbol, row.good ? Tone::blue : (row.failed ? Tone::red : Tone::secondary), 20, widget);
    icon->setFixedWidth(28);
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(2);
    texts->addWidget(captionLabel(row.title, Tone::secondary, widget));
    auto *value = new QLabel(widget);
    value->setTextFormat(Qt::PlainText);
    value->setText(row.value);
    QFont medium = value->font();
    medium.setWeight(QFont::Medium);
    value->setFont(medium);
    texts->addWidget(value);
    layout->addLayout(texts, 1);
    const int statusSize = QFontMetrics(widget->font()).height();
    if (row.good) {
        layout->addWidget(symbolLabel(QStringLiteral("checkmark.circle.fill"), Tone::green, statusSize, widget));
    } else if (row.failed) {
        setToneText(value, row.value, Tone::red);
        layout->addWidget(symbolLabel(QStringLiteral("xmark.circle.fill"), Tone::red, statusSize, widget));
    } else if (row.installing) {
        layout->addWidget(symbolLabel(QStringLiteral("arrow.clockwise"), Tone::blue, statusSize,
                                      widget));
    } else if (row.missing) {
        // Chosen and not there: it needs the user, as a failure does.
        layout->addWidget(symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), Tone::orange, statusSize, widget));
    } else {
        layout->addWidget(symbolLabel(QStringLiteral("circle"), Tone::gray, statusSize, widget));
    }
    layout->itemAt(layout->count() - 1)->widget()->setAccessibleName(row.good        ? QStringLiteral("Installed")
                                                                     : row.failed     ? QStringLiteral("Failed")
                                                                     : row.installing ? QStringLiteral("Installing")
                                                                                      : QStringLiteral("Not installed"));
    return widget;
}

// A numbered blue badge.
class Badge final : public QWidget {
public:
    Badge(int number, QWidget *parent) : QWidget(parent), m_number(number) { setFixedSize(24, 24); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(toneColour(Tone::blue, palette()));
        painter.drawEllipse(rect());
        QFont number = font();
        number.setPixelSize(12);
        number.setWeight(QFont::DemiBold);
        painter.setFont(number);
        painter.setPen(Qt::white);
        painter.drawText(rect(), Qt::AlignCenter, QString::number(m_number));
    }

private:
    int m_number;
};

QWidget *nextStepRow(int number, const QString &text)
{
    auto *widget = new QWidget;
    auto *layout = bareRow(widget, 12);
    layout->addWidget(new Badge(number, widget));
    auto *label = new QLabel(text, widget);
    label->setWordWrap(true);
    label->setFont(textStyle::subheadline(widget->font()));
    layout->addWidget(label, 1);
    return widget;
}

} // namespace

std::vector<SummaryRow> completionSummary(const CompletionFacts &facts)
{
    const auto row = [](const char *symbol, const char *title, bool good, bool failed, bool installing, bool chosen,
                        const char *goodValue, const char *otherwise) {
        failed = failed && chosen && !good;
        installing = installing && !good;
        const bool missing = chosen && !good && !failed && !installing;
        const QString value = good         ? QString::fromUtf8(goodValue)
                              : installing ? QStringLiteral("Installing\u2026")
                              : failed     ? QStringLiteral("Failed")
                              : chosen     ? QString::fromUtf8(otherwise)
                                           : QStringLiteral("Skipped");
        return SummaryRow{QString::fromUtf8(symbol), QString::fromUtf8(title), value, good, failed, installing, missing,
                          chosen};
    };
    const bool vara = facts.wineChosen;
    return {
        row("shippingbox.fill", "Wine", facts.wineAvailable, facts.wineFailed, facts.wineInstalling, vara, "Installed",
            "Not installed"),
        row("folder.badge.gear", "Wine Prefix", facts.prefixReady, facts.prefixFailed, facts.prefixInstalling, vara,
            "Ready", "Not set up"),
        row("wave.3.right", "VARA HF", facts.varaHFInstalled, facts.varaHFFailed, facts.varaHFInstalling,
            facts.varaHFChosen, "Installed", "Not installed"),
        row("wave.3.right.circle", "VARA FM", facts.varaFMInstalled, facts.varaFMFailed, facts.varaFMInstalling,
            facts.varaFMChosen, "Installed", "Not installed"),
        row("antenna.radiowaves.left.and.right", "Hamlib (rigctld)", facts.rigctldAvailable, facts.hamlibFailed,
            facts.hamlibInstalling, facts.hamlibChosen, "Installed", "Not installed"),
        row("dog.fill", "Direwolf (Packet)", facts.direwolfFound, false, false, facts.direwolfChosen, "Installed",
            "Not installed"),
    };
}

bool completionNeedsAttention(const std::vector<SummaryRow> &summary)
{
    return std::any_of(summary.begin(), summary.end(),
                       [](const SummaryRow &row) { return row.failed || row.installing || row.missing; });
}

std::vector<StepProgress> wizardStepProgress(const std::vector<SummaryRow> &summary)
{
    // The step that installs each summary row's component, in the summary's order.
    static const int steps[] = {wizardPage::dependencies, wizardPage::dependencies, wizardPage::vara,
                                wizardPage::vara,         wizardPage::radioControl, wizardPage::packet};
    std::vector<StepProgress> progress(std::size_t(wizardLastStep() + 1), StepProgress::done);
    for (const int step : {wizardPage::dependencies, wizardPage::vara, wizardPage::radioControl, wizardPage::packet}) {
        bool chosen = false, failed = false, installing = false, missing = false;
        for (std::size_t i = 0; i < summary.size() && i < std::size(steps); ++i) {
            if (steps[i] != step || !summary[i].chosen) {
                continue;
            }
            chosen = true;
            failed = failed || summary[i].failed;
            installing = installing || summary[i].installing;
            missing = missing || summary[i].missing;
        }
        // A tick only once what the step installs is there; going on without it skips it.
        progress[std::size_t(step)] = !chosen || (!failed && !installing && missing) ? StepProgress::skipped
                                      : failed                                       ? StepProgress::failed
                                      : installing                                   ? StepProgress::installing
                                                                                     : StepProgress::done;
    }
    return progress;
}

QStringList completionNextSteps(const std::vector<SummaryRow> &summary)
{
    const auto good = [&](std::size_t i) { return i < summary.size() && summary[i].good; };
    // Direwolf is installed from its own page (by the package manager in a terminal); the rest
    // from the Setup page.
    QStringList missing;
    bool direwolfMissing = false;
    for (std::size_t i = 0; i < summary.size(); ++i) {
        if (!summary[i].failed && !summary[i].missing) {
            continue;
        }
        if (i == 5) {
            direwolfMissing = true;
        } else {
            missing << summary[i].title;
        }
    }
    QStringList steps;
    if (!missing.isEmpty()) {
        steps << QStringLiteral("Install ") + missing.join(QStringLiteral(", ")) + QStringLiteral(" from the Setup page");
    }
    if (direwolfMissing) {
        steps << QStringLiteral("Install Direwolf from the Direwolf page");
    }
    steps << QStringLiteral("Open Cordavelle on your computer to connect");
    if (good(4)) {
        steps << QStringLiteral("Configure your radio in the rigctld section");
    }
    if (good(0) && good(1) && (good(2) || good(3))) {
        steps << QStringLiteral("Start VARA from the management window or via Cordavelle");
    }
    return steps;
}

CompletionHeadline completionHeadline(const std::vector<SummaryRow> &summary)
{
    const auto attention = std::count_if(summary.begin(), summary.end(),
                                         [](const SummaryRow &row) { return row.failed || row.missing; });
    const bool onlyFailures = std::none_of(summary.begin(), summary.end(), [](const SummaryRow &row) { return row.missing; });
    const auto installing =
        std::count_if(summary.begin(), summary.end(), [](const SummaryRow &row) { return row.installing; });
    const QString running = installing == 1 ? QStringLiteral("1 install is still running")
                                            : QStringLiteral("%1 installs are still running").arg(installing);
    if (attention == 0 && installing == 0) {
        return {QStringLiteral("checkmark.circle.fill"), Tone::green, QStringLiteral("Setup Complete!"),
                QStringLiteral("Cordavelle Helper is ready to use")};
    }
    if (attention == 0) {
        return {QStringLiteral("arrow.clockwise"), Tone::blue, QStringLiteral("Almost Done"),
                running + (installing == 1 ? QStringLiteral(": it goes on after Done, and the Setup page shows it")
                                           : QStringLiteral(": they go on after Done, and the Setup page shows them"))};
    }
    QString subtitle = attention == 1 ? QStringLiteral("1 component needs attention: ")
                                      : QStringLiteral("%1 components need attention: ").arg(attention);
    subtitle += !onlyFailures     ? QStringLiteral("see the next steps below")
                : attention == 1 ? QStringLiteral("retry it from the Setup page")
                                 : QStringLiteral("retry them from the Setup page");
    if (installing > 0) {
        subtitle += QStringLiteral("; ") + running;
    }
    return {QStringLiteral("exclamationmark.triangle.fill"), Tone::orange, QStringLiteral("Setup Finished"), subtitle};
}

namespace {

bool failed(const Installer &installer) { return installer.progress().phase == InstallProgress::Phase::failed; }
bool installing(const Installer &installer) { return installer.progress().working(); }

} // namespace

CompletionFacts gatherCompletionFacts(const SetupInstallers &sources, const WizardFeatures &features)
{
    const bool vara = features.needsVARA();
    return {
        .wineAvailable = sources.wine.installedCopy().present || WineInstaller::findWine().has_value(),
        .prefixReady = sources.prefix.installedCopy().present,
        .varaHFInstalled = ServiceOrchestrator::isVARAInstalled(VARAVariant::hf),
        .varaFMInstalled = ServiceOrchestrator::isVARAInstalled(VARAVariant::fm),
        .rigctldAvailable = sources.hamlib.installedCopy().present || tools::findRigctld().has_value(),
        .direwolfFound = sources.direwolfDiscovery.direwolfPath().has_value(),
        .wineFailed = vara && failed(sources.wine),
        .prefixFailed = vara && failed(sources.prefix),
        .varaHFFailed = features.enableVARAHF && failed(sources.varaHF),
        .varaFMFailed = features.enableVARAFM && failed(sources.varaFM),
        .hamlibFailed = features.enableRadioControl && failed(sources.hamlib),
        .wineInstalling = installing(sources.wine),
        .prefixInstalling = installing(sources.prefix),
        .varaHFInstalling = installing(sources.varaHF),
        .varaFMInstalling = installing(sources.varaFM),
        .hamlibInstalling = installing(sources.hamlib),
        .wineChosen = vara,
        .varaHFChosen = features.enableVARAHF,
        .varaFMChosen = features.enableVARAFM,
        .hamlibChosen = features.enableRadioControl,
        .direwolfChosen = features.enablePacket,
    };
}

WizardCompleteStep::WizardCompleteStep(const SetupInstallers &sources, const WizardFeatures &features, QWidget *parent)
    : WizardStep(parent), m_installers(sources), m_features(features),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    setObjectName(QStringLiteral("wizardCompleteStep"));
    m_column = wizardPageColumn(this);
    QVBoxLayout *column = m_column;
    auto *line = divider();
    line->setContentsMargins(0, 8, 0, 8);
    column->addWidget(line);

    auto *summaryBox = new WizardTintedBox(Qt::gray, 0.1, this);
    summaryBox->setObjectName(QStringLiteral("summaryBox"));
    m_summaryRows = new QVBoxLayout(summaryBox);
    m_summaryRows->setSpacing(12);
    column->addWidget(summaryBox);
    column->addStretch(1);

    auto *nextBox = new WizardTintedBox(toneColour(Tone::blue, palette()), 0.1, this);
    auto *next = new QVBoxLayout(nextBox);
    next->setSpacing(12);
    auto *heading = new QLabel(QStringLiteral("Next Steps:"), nextBox);
    heading->setFont(textStyle::headline(font()));
    next->addWidget(heading);
    m_nextRows = new QVBoxLayout;
    m_nextRows->setSpacing(12);
    next->addLayout(m_nextRows);
    column->addWidget(nextBox);

    // The file-system tests are made again whenever an install moves on, and on every visit.
    connect(&sources.direwolfDiscovery, &DirewolfDiscovery::direwolfPathChanged, this, &WizardCompleteStep::refresh);
    // An installer tells of each log line too: the tests are made again at most once per turn.
    for (Installer *installer : std::initializer_list<Installer *>{&sources.wine, &sources.prefix, &sources.varaHF,
                                                                   &sources.varaFM, &sources.hamlib}) {
        connect(installer, &Installer::changed, m_refresh, &CoalescedRefresh::schedule);
    }
    refresh();
}

void WizardCompleteStep::shown() { refresh(); }

void WizardCompleteStep::refresh()
{
    std::vector<SummaryRow> summary = completionSummary(gatherCompletionFacts(m_installers, m_features));
    if (summary == m_summary && m_summaryRows->count() > 0) {
        return;
    }
    m_summary = std::move(summary);
    m_headline = completionHeadline(m_summary);
    delete m_header;
    m_header = wizardHeader(m_headline.symbol, m_headline.title, m_headline.subtitle,
                            {.symbolSize = 80, .symbolTone = m_headline.tone, .titlePointSize = 24, .largeSubtitle = true});
    m_column->insertWidget(0, m_header);
    while (QLayoutItem *item = m_summaryRows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    for (const SummaryRow &row : m_summary) {
        m_summaryRows->addWidget(summaryRow(row));
    }
    while (QLayoutItem *item = m_nextRows->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const QStringList steps = completionNextSteps(m_summary);
    for (int i = 0; i < steps.size(); ++i) {
        m_nextRows->addWidget(nextStepRow(i + 1, steps[i]));
    }
}

} // namespace cordavelle
