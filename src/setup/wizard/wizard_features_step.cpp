#include "setup/wizard/wizard_features_step.h"

#include "widgets/input_rules.h"
#include "widgets/form_parts.h"
#include "widgets/status_look.h"
#include "setup/wizard/wizard_components.h"
#include "setup/wizard/wizard_rows.h"

#include <QCheckBox>
#include <QMouseEvent>
#include <QHBoxLayout>
#include <QVBoxLayout>

namespace cordavelle {

namespace {

struct Feature {
    const char *symbol;
    const char *title;
    const char *description;
    bool WizardFeatures::*choice;
};

constexpr Feature kFeatures[] = {
    {"wave.3.right", "VARA HF Modem", "Digital modem for HF radio email (requires Wine)", &WizardFeatures::enableVARAHF},
    {"wave.3.right.circle", "VARA FM Modem", "Digital modem for VHF/UHF radio email (requires Wine)",
     &WizardFeatures::enableVARAFM},
    {"antenna.radiowaves.left.and.right", "Radio Control (Hamlib)", "CAT control to automatically tune your radio's frequency and mode",
     &WizardFeatures::enableRadioControl},
    {"dog.fill", "Packet (Direwolf)",
     "AX.25 software TNC for VHF/UHF Packet — installed via a package manager", &WizardFeatures::enablePacket},
};

// Lets a click anywhere on a feature's row, its title included, flip the row's switch, as a
// click on a check box's own text does.
class RowTogglesSwitch final : public QObject {
public:
    RowTogglesSwitch(QWidget *row, QCheckBox *toggle) : QObject(row), m_toggle(toggle) { row->installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const auto *row = static_cast<QWidget *>(watched);
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
            return static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton;
        }
        if (event->type() == QEvent::MouseButtonRelease) {
            const auto *release = static_cast<QMouseEvent *>(event);
            if (release->button() != Qt::LeftButton) {
                return false;
            }
            // The release comes to the row from the label that was pressed, in the label's
            // coordinates: inside the row is where the label sits.
            if (row->rect().contains(row->mapFromGlobal(release->globalPosition().toPoint()))) {
                m_toggle->click();
            }
            return true;
        }
        return false;
    }

private:
    QCheckBox *m_toggle;
};

} // namespace

WizardFeaturesStep::WizardFeaturesStep(WizardFeatures &features, QWidget *parent)
    : WizardStep(parent), m_features(features),
      m_wineBox(new WizardInfoBox(QStringLiteral("Wine will be installed"),
                                  QStringLiteral("VARA modems are Windows programs. Wine (a compatibility layer) will be "
                                                 "installed automatically to run them on Linux."))),
      m_noFeaturesBox(new WizardInfoBox(QStringLiteral("No features selected"),
                                        QStringLiteral("You can enable features later from the Helper's Settings. The "
                                                       "Helper will still run as a background service for client "
                                                       "pairing.")))
{
    setObjectName(QStringLiteral("wizardFeaturesStep"));
    QVBoxLayout *column = wizardPageColumn(this);
    column->addWidget(wizardHeader(QStringLiteral("checklist"), QStringLiteral("Choose Features"),
                                   QStringLiteral("Select which features you'd like to set up")));
    column->addWidget(divider());

    auto *list = new QWidget(this);
    auto *rows = new QVBoxLayout(list);
    rows->setSpacing(12);
    rows->setContentsMargins(16, 0, 16, 0);
    for (std::size_t i = 0; i < m_switches.size(); ++i) {
        const Feature &feature = kFeatures[i];
        auto *row = new WizardTintedBox(Qt::gray, 0.1, list);
        QHBoxLayout *layout = wizardTextRow(row, QString::fromUtf8(feature.symbol), QString::fromUtf8(feature.title),
                                            QString::fromUtf8(feature.description),
                                            {.topAligned = false, .lineSpacing = 2, .captionDescription = true});
        layout->setContentsMargins(12, 12, 12, 12);
        auto *toggle = new QCheckBox(row);
        toggle->setAccessibleName(QString::fromUtf8(feature.title));
        onToggled(toggle, this, [this, choice = feature.choice](bool on) {
            m_features.*choice = on;
            refresh();
        });
        layout->addWidget(toggle, 0, Qt::AlignVCenter);
        new RowTogglesSwitch(row, toggle);
        m_switches[i] = toggle;
        rows->addWidget(row);
    }
    column->addWidget(list);
    column->addStretch(1);
    column->addWidget(m_wineBox);
    column->addWidget(m_noFeaturesBox);
    refresh();
}

void WizardFeaturesStep::shown() { refresh(); }

void WizardFeaturesStep::refresh()
{
    for (std::size_t i = 0; i < m_switches.size(); ++i) {
        showChecked(m_switches[i], m_features.*kFeatures[i].choice);
    }
    const FeaturesInfo info = featuresInfo(m_features);
    m_wineBox->setVisible(info == FeaturesInfo::wineWillBeInstalled);
    m_noFeaturesBox->setVisible(info == FeaturesInfo::noFeaturesSelected);
}

} // namespace cordavelle
