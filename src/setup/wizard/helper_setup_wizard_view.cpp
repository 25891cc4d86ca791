#include "setup/wizard/helper_setup_wizard_view.h"

#include "widgets/accent_style.h"
#include "widgets/form_parts.h"
#include "widgets/setting_note.h"
#include "app/helper_setup_state.h"
#include "core/config_store.h"
#include "platform/user_defaults.h"
#include "setup/wizard/wizard_step.h"
#include "setup/wizard/wizard_step_indicator.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace cordavelle {

namespace {
constexpr int kPageMaxWidth = 600;
constexpr int kPagePadding = 32;
constexpr int kScrollMinHeight = 500;
} // namespace

HelperSetupWizardView::HelperSetupWizardView(HelperSetupState &state, UserDefaults &defaults, PageFactory pages,
                                             QWidget *parent)
    : QDialog(parent), m_state(state), m_defaults(defaults), m_factory(std::move(pages)),
      m_indicator(new WizardStepIndicator(this)), m_back(new QPushButton(QStringLiteral("Back"), this)),
      m_continue(new AccentButton(QStringLiteral("Continue"), this)),
      m_done(new AccentButton(QStringLiteral("Done"), this)),
      m_doneNote(new SettingNote(m_done, QStringLiteral("The setup stays unfinished and shows again at the next launch."),
                                 this))
{
    setObjectName(QStringLiteral("setupWizard"));
    setWindowTitle(QStringLiteral("Cordavelle Helper Setup"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setMinimumSize(700, 700);
    resize(sizeHint());

    auto *layout = bareColumn(this, 0);
    layout->addWidget(m_indicator);
    layout->addWidget(divider());

    auto *scroll = new QScrollArea(this);
    scroll->setObjectName(QStringLiteral("wizardScroll"));
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setMinimumHeight(kScrollMinHeight);
    auto *body = new QWidget;
    auto *centring = bareRow(body);
    auto *pageArea = new QWidget(body);
    pageArea->setMaximumWidth(kPageMaxWidth);
    pageArea->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_column = new QVBoxLayout(pageArea);
    m_column->setContentsMargins(kPagePadding, kPagePadding, kPagePadding, kPagePadding);
    m_column->setSpacing(24);
    centring->addStretch(1);
    centring->addWidget(pageArea, 100);
    centring->addStretch(1);
    scroll->setWidget(body);
    layout->addWidget(scroll, 1);
    layout->addWidget(divider());
    m_doneNote->setObjectName(QStringLiteral("wizardDoneNote"));
    m_doneNote->setAlignment(Qt::AlignRight);
    m_doneNote->setContentsMargins(12, 8, 12, 0);
    layout->addWidget(m_doneNote);

    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(12, 12, 12, 12);
    m_back->setObjectName(QStringLiteral("wizardBack"));
    m_continue->setObjectName(QStringLiteral("wizardContinue"));
    m_done->setObjectName(QStringLiteral("wizardDone"));
    m_back->setAutoDefault(false);
    buttons->addWidget(m_back);
    buttons->addStretch(1);
    buttons->addWidget(m_continue);
    buttons->addWidget(m_done);
    layout->addLayout(buttons);

    connect(m_back, &QPushButton::clicked, this, &HelperSetupWizardView::navigateBack);
    connect(m_continue, &QPushButton::clicked, this, &HelperSetupWizardView::navigateForward);
    connect(m_done, &QPushButton::clicked, this, &HelperSetupWizardView::completeSetup);
    showStep(wizardPage::welcome);
}

QPushButton *HelperSetupWizardView::continueButton() const { return m_continue; }
QPushButton *HelperSetupWizardView::doneButton() const { return m_done; }

void HelperSetupWizardView::navigateForward()
{
    if (wizardButtons(m_current).continueButton) {
        showStep(nextWizardStep(m_current, m_features));
    }
}

void HelperSetupWizardView::navigateBack()
{
    if (wizardButtons(m_current).back) {
        showStep(previousWizardStep(m_current, m_features));
    }
}

void HelperSetupWizardView::completeSetup()
{
    if (m_doneNote->answer(m_defaults.setObject(ConfigStore::Keys::kHasCompletedHelperSetup, true))) {
        return;
    }
    m_state.setShowWizard(false);
    m_completing = true;
    accept();
}

void HelperSetupWizardView::setStepProgress(std::vector<StepProgress> progress)
{
    m_indicator->setStepProgress(std::move(progress));
}

void HelperSetupWizardView::reject()
{
    navigateBack();
}

void HelperSetupWizardView::closeEvent(QCloseEvent *event)
{
    // Closing is leaving the setup unfinished, never finishing it: the flag stays unset, so the
    // wizard comes back at the next launch.
    if (!m_completing && isVisible()) {
        m_state.setShowWizard(false);
        done(QDialog::Rejected);
    }
    event->accept();
}

void HelperSetupWizardView::showStep(int index)
{
    if (index == m_current) {
        return;
    }
    if (m_current >= 0 && m_pages[m_current]) {
        m_pages[m_current]->hide();
    }
    m_current = index;
    WizardStep *&page = m_pages[index];
    if (!page && m_factory) {
        page = m_factory(index, m_features);
        if (page) {
            m_column->addWidget(page);
        }
    }
    m_indicator->setCurrentStep(index);
    const WizardButtons buttons = wizardButtons(index);
    m_back->setVisible(buttons.back);
    m_continue->setVisible(buttons.continueButton);
    m_done->setVisible(buttons.done);
    // Return presses whichever of Continue and Done is offered.
    m_continue->setDefault(buttons.continueButton);
    m_done->setDefault(buttons.done);
    if (page) {
        page->show();
        page->shown();
    }
    Q_EMIT stepShown(index);
}

} // namespace cordavelle
