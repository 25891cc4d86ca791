#include "setup/wizard/wizard_welcome_step.h"

#include "widgets/form_parts.h"
#include "widgets/status_look.h"
#include "setup/wizard/wizard_components.h"
#include "setup/wizard/wizard_rows.h"

#include <QLabel>
#include <QVBoxLayout>

namespace cordavelle {

WizardWelcomeStep::WizardWelcomeStep(QWidget *parent) : WizardStep(parent)
{
    setObjectName(QStringLiteral("wizardWelcomeStep"));
    QVBoxLayout *column = wizardPageColumn(this);
    column->addWidget(wizardHeader(QStringLiteral("gearshape.2.fill"), QStringLiteral("Welcome to Cordavelle Helper"),
                                   QStringLiteral("The background service that manages radio hardware for Cordavelle"),
                                   {.symbolSize = 80, .titlePointSize = 21, .largeSubtitle = true}));
    auto *line = divider();
    line->setContentsMargins(0, 8, 0, 8);
    column->addWidget(line);

    struct Feature {
        const char *symbol;
        const char *title;
        const char *description;
    };
    static constexpr Feature kFeatures[] = {
        {"wave.3.right", "VARA Modem Management", "Automatically starts and stops VARA HF and VARA FM via Wine"},
        {"antenna.radiowaves.left.and.right", "Radio Control (rigctld)", "CAT control for 100+ radio models via Hamlib"},
        {"network", "Local REST API", "Advertised on your local network for discovery by Cordavelle"},
        {"laptopcomputer.and.iphone", "Client Pairing", "Secure token-based pairing with Cordavelle clients on your computer"},
    };
    auto *list = new QWidget(this);
    auto *rows = new QVBoxLayout(list);
    rows->setSpacing(16);
    rows->setContentsMargins(16, 0, 16, 0);
    for (const Feature &feature : kFeatures) {
        auto *row = new QWidget(list);
        wizardTextRow(row, QString::fromUtf8(feature.symbol), QString::fromUtf8(feature.title),
                      QString::fromUtf8(feature.description), {})
            ->setContentsMargins(0, 0, 0, 0);
        rows->addWidget(row);
    }
    column->addWidget(list);
    column->addStretch(1);

    auto *closing = new QLabel(this);
    closing->setWordWrap(true);
    closing->setAlignment(Qt::AlignCenter);
    closing->setFont(textStyle::callout(font()));
    setToneText(closing, QStringLiteral("This wizard will help you choose and install the components you need."),
                Tone::secondary);
    column->addWidget(closing);
}

} // namespace cordavelle
