#include "settings_view.h"

#include "api/pairing_manager.h"
#include "widgets/beta_badge.h"
#include "widgets/alert_presenter.h"
#include "widgets/coalesced_refresh.h"
#include "widgets/form_parts.h"
#include "widgets/input_rules.h"
#include "widgets/setting_note.h"
#include "app/clients_page_model.h"
#include "app/reset_section.h"
#include "base/tcp_port.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QPointer>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>

namespace cordavelle {

using namespace settings_model;

namespace {

QVBoxLayout *columnOf(QGroupBox *box) { return static_cast<QVBoxLayout *>(box->layout()); }

} // namespace

HelperSettingsView::HelperSettingsView(SettingsContext context, QWidget *parent)
    : QWidget(parent), m_context(std::move(context)), m_experimentalSwitch(m_context.experimental),
      m_resetModel(new ResetSectionModel(m_context.resetRunner, m_context.quit, this)),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    setObjectName(QStringLiteral("settingsView"));
    QScrollArea *scroll = fillWithScrollArea(this);
    auto *body = new QWidget;
    body->setFixedWidth(440);
    auto *form = new QVBoxLayout(body);
    form->setContentsMargins(16, 16, 16, 16);
    buildStartupAndAppearance(form);
    form->addWidget(buildNetwork());
    form->addWidget(buildSecurity());
    form->addWidget(buildServices());
    form->addWidget(buildExperimental());
    form->addWidget(new ResetSection(*m_resetModel, m_context.alerts, m_context.prefixPath, m_context.home));
    form->addStretch();
    scroll->setWidget(body);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // As wide as the form and its scroll bar: a wider window would only leave an empty strip.
    setFixedWidth(body->width() + style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll));

    ConfigStore &config = m_context.config;
    for (auto signal : {&ConfigStore::launchAtLoginChanged, &ConfigStore::allowNetworkAccessChanged,
                        &ConfigStore::requirePairingChanged}) {
        connect(&config, signal, m_refresh, &CoalescedRefresh::schedule);
    }
    connect(&config, &ConfigStore::appearanceModeChanged, m_refresh, &CoalescedRefresh::schedule);
    if (m_context.services) {
        for (ServiceID id : allCases<ServiceID>()) {
            connect(&m_context.services->process(id), &ManagedProcess::stateChanged, m_refresh,
                    &CoalescedRefresh::schedule);
        }
    }
    connect(&config, &ConfigStore::serviceNameChanged, m_refresh, &CoalescedRefresh::schedule);
    connect(&config, &ConfigStore::apiPortChanged, m_refresh, &CoalescedRefresh::schedule);
    connect(&config, &ConfigStore::idleShutdownDelayChanged, m_refresh, &CoalescedRefresh::schedule);
    connect(&m_context.experimental, &ExperimentalFeatureManager::masterEnabledChanged, m_refresh,
            &CoalescedRefresh::schedule);
    connect(&m_context.experimental, &ExperimentalFeatureManager::featureChanged, m_refresh,
            &CoalescedRefresh::schedule);
    refresh();
}

QWidget *HelperSettingsView::buildStartupAndAppearance(QVBoxLayout *form)
{
    auto *startup = formSection(QStringLiteral("Startup"));
    m_launchAtLogin = new QCheckBox(QStringLiteral("Launch at Login"));
    // A login item that refuses leaves the switch on the item's real registration.
    onToggled(m_launchAtLogin, this, [this](bool on) { stored(m_launchAtLogin, m_context.config.changeLaunchAtLogin(on)); });
    columnOf(startup)->addWidget(m_launchAtLogin);
    columnOf(startup)->addWidget(new SettingNote(m_launchAtLogin));
    form->addWidget(startup);

    auto *appearance = formSection(QStringLiteral("Appearance"));
    auto *showIn = new QHBoxLayout;
    showIn->addWidget(new QLabel(QStringLiteral("Show In")));
    m_appearance = new QButtonGroup(this);
    auto *appearanceNote = new SettingNote;
    for (const AppAppearanceMode mode : EnumTraits<AppAppearanceMode>::cases) {
        auto *option = new QRadioButton(displayName(mode));
        m_appearance->addButton(option, static_cast<int>(mode));
        appearanceNote->serve(option);
        showIn->addWidget(option);
    }
    showIn->addStretch();
    onChosen(m_appearance, this, [this](int id) {
        stored(m_appearance->button(id), m_context.config.setAppearanceMode(static_cast<AppAppearanceMode>(id)));
    });
    columnOf(appearance)->addLayout(showIn);
    columnOf(appearance)->addWidget(appearanceNote);
    m_appearanceCaption = captionLabel({});
    columnOf(appearance)->addWidget(m_appearanceCaption);
    form->addWidget(appearance);

    auto *name = formSection(QStringLiteral("Service Name"));
    auto *nameRow = new QFormLayout;
    m_serviceName = new QLineEdit;
    m_serviceName->setFixedWidth(200);
    connect(m_serviceName, &QLineEdit::textEdited, this,
            [this](const QString &text) { stored(m_serviceName, m_context.config.setServiceName(text)); });
    nameRow->addRow(QStringLiteral("Service Name"), m_serviceName);
    columnOf(name)->addLayout(nameRow);
    columnOf(name)->addWidget(new SettingNote(m_serviceName));
    columnOf(name)->addWidget(
        captionLabel(QStringLiteral("Name shown to clients discovering this Helper on the network. Restart required.")));
    form->addWidget(name);
    return startup;
}

QWidget *HelperSettingsView::buildNetwork()
{
    ConfigStore &config = m_context.config;
    auto *network = formSection(QStringLiteral("Network"));
    m_allowNetwork = new QCheckBox(QStringLiteral("Allow Network Access"));
    onToggled(m_allowNetwork, this,
              [this](bool on) { stored(m_allowNetwork, m_context.config.setAllowNetworkAccess(on)); });
    columnOf(network)->addWidget(m_allowNetwork);
    columnOf(network)->addWidget(new SettingNote(m_allowNetwork));
    m_networkCaption = captionLabel({});
    columnOf(network)->addWidget(m_networkCaption);
    auto *portRow = new QFormLayout;
    m_apiPort = new QLineEdit;
    m_apiPort->setFixedWidth(80);
    m_apiPort->setFont(textStyle::monospaced(m_apiPort->font()));
    // Text that is no port is flagged while typing; the numbers on the way to the port the user
    // means ("8", "83", …) are neither flagged nor stored: a port is judged once committed
    // (Return or leaving the field).
    connect(m_apiPort, &QLineEdit::textEdited, this, [this](const QString &text) {
        showApiPortProblem(text.trimmed().isEmpty() || parsePort(text) ? std::nullopt
                                                                       : std::optional(invalidPortText()));
    });
    // A port that can't be stored gives way to the stored port again, its reason staying under
    // the field so that the change is not lost without a word. Only a new port is stored: the
    // stored one put back here is not refused all over again when the focus leaves.
    connect(m_apiPort, &QLineEdit::editingFinished, this, [this, &config] {
        const std::optional<QString> problem = apiPortProblem(m_apiPort->text(), config);
        const std::optional<int> port = parsePort(m_apiPort->text());
        const bool storing = !problem && port && *port != config.apiPort();
        const StoreAnswer answer = storing ? config.setApiPort(*port) : StoreAnswer();
        if (const QString stored = QString::number(config.apiPort()); m_apiPort->text() != stored) {
            m_apiPort->setText(stored);
        }
        // An emptied field, or the stored port again, leaves what is said until the next edit.
        if (problem) {
            showApiPortProblem(problem);
        } else if (storing) {
            m_apiPortProblem->answer(answer);
        }
    });
    portRow->addRow(QStringLiteral("API Port"), m_apiPort);
    columnOf(network)->addLayout(portRow);
    m_apiPortProblem = new SettingNote(m_apiPort, QStringLiteral("The port stays as it was."));
    columnOf(network)->addWidget(m_apiPortProblem);
    columnOf(network)->addWidget(captionLabel(QStringLiteral("Restart required after changing the API port.")));
    return network;
}

QWidget *HelperSettingsView::buildSecurity()
{
    auto *security = formSection(QStringLiteral("Security"));
    m_requirePairing = new QCheckBox(QStringLiteral("Require Client Pairing"));
    onToggled(m_requirePairing, this, [this](bool on) {
        const bool before = m_context.config.requirePairing();
        // Nobody is let in while pairing could not be turned off.
        if (stored(m_requirePairing, m_context.config.setRequirePairing(on))) {
            return;
        }
        if (approvesAllPending(before, on)) {
            if (const auto failure = m_context.pairing.approveAllPending()) {
                m_context.alerts.present(
                    pairingNotSavedAlert(QStringLiteral("The waiting clients could not be approved"), *failure), this);
            }
        }
    });
    columnOf(security)->addWidget(m_requirePairing);
    columnOf(security)->addWidget(new SettingNote(m_requirePairing));
    m_pairingCaption = captionLabel({});
    columnOf(security)->addWidget(m_pairingCaption);
    m_pairingWarning = new QWidget;
    auto *warning = new QHBoxLayout(m_pairingWarning);
    warning->setContentsMargins(0, 4, 0, 4);
    warning->setSpacing(6);
    warning->addWidget(symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), Tone::orange, 14));
    auto *text = captionLabel(
        QStringLiteral("Pairing tokens are transmitted over unencrypted HTTP. Use only on trusted networks."));
    text->setPalette(QPalette());
    warning->addWidget(text, 1);
    columnOf(security)->addWidget(m_pairingWarning);
    return security;
}

QWidget *HelperSettingsView::buildServices()
{
    auto *services = formSection(QStringLiteral("Services"));
    auto *row = new QFormLayout;
    m_idleDelay = new QComboBox;
    for (const IdleDelayOption &option : idleDelayOptions()) {
        m_idleDelay->addItem(option.label);
    }
    connect(m_idleDelay, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(idleDelayOptions().size())) {
            stored(m_idleDelay,
                   m_context.config.setIdleShutdownDelay(idleDelayOptions()[static_cast<std::size_t>(index)].minutes));
        }
    });
    row->addRow(QStringLiteral("Idle Shutdown Delay"), m_idleDelay);
    columnOf(services)->addLayout(row);
    columnOf(services)->addWidget(new SettingNote(m_idleDelay));
    columnOf(services)->addWidget(
        captionLabel(QStringLiteral("How long on-demand services stay running after the last session ends.")));
    return services;
}

QWidget *HelperSettingsView::buildExperimental()
{
    auto *experimental = formSection(QStringLiteral("Experimental Features"));
    m_experimentalMaster = new QCheckBox(QStringLiteral("Enable Experimental Features"));
    onToggled(m_experimentalMaster, this, [this](bool on) {
        if (m_experimentalSwitch.flip(on)) {
            refresh(); // the switch stays off while the alert is up
            const QPointer<HelperSettingsView> self(this);
            const int answer = m_context.alerts.present(settings_model::ExperimentalSwitch::warningAlert(), this);
            if (!self) {
                return;
            }
            m_experimentalSwitch.answerWarning(answer == 0);
            refresh();
        }
        stored(m_experimentalMaster, m_experimentalSwitch.takeFailure());
    });
    columnOf(experimental)->addWidget(m_experimentalMaster);
    columnOf(experimental)->addWidget(new SettingNote(m_experimentalMaster));
    m_features = new QWidget;
    auto *features = bareColumn(m_features);
    for (const ExperimentalFeature feature : EnumTraits<ExperimentalFeature>::cases) {
        auto *line = new QHBoxLayout;
        line->setSpacing(4);
        auto *toggle = new QCheckBox(name(feature));
        onToggled(toggle, this,
                  [this, feature, toggle](bool on) { stored(toggle, m_context.experimental.setEnabled(feature, on)); });
        line->addWidget(toggle);
        line->addWidget(new BetaBadge);
        line->addStretch();
        features->addLayout(line);
        auto *caption = captionLabel(description(feature));
        caption->setContentsMargins(20, 0, 0, 0);
        features->addWidget(caption);
        auto *note = new SettingNote(toggle);
        note->setContentsMargins(20, 0, 0, 0);
        features->addWidget(note);
        m_featureSwitches[feature] = toggle;
    }
    columnOf(experimental)->addWidget(m_features);
    columnOf(experimental)->addWidget(captionLabel(QStringLiteral("Experimental features may be incomplete or unstable.")));
    return experimental;
}

void HelperSettingsView::showApiPortProblem(const std::optional<QString> &problem) { m_apiPortProblem->say(problem); }

bool HelperSettingsView::stored(const QWidget *control, const StoreAnswer &answer)
{
    return answerChange(control, answer, [this] { refresh(); });
}

void HelperSettingsView::refresh()
{
    const ConfigStore &config = m_context.config;
    showChecked(m_launchAtLogin, config.launchAtLogin());
    showChosen(m_appearance, static_cast<int>(config.appearanceMode()));
    m_appearanceCaption->setText(appearanceCaption(config.appearanceMode()));
    if (m_serviceName->text() != config.serviceName()) {
        m_serviceName->setText(config.serviceName());
    }
    showChecked(m_allowNetwork, config.allowNetworkAccess());
    m_networkCaption->setText(networkCaption(
        config.allowNetworkAccess(), m_context.services && m_context.services->networkAccessAwaitsRestart()));
    if (parsePort(m_apiPort->text()) != config.apiPort() && !m_apiPort->hasFocus()) {
        m_apiPort->setText(QString::number(config.apiPort()));
    }
    showChecked(m_requirePairing, config.requirePairing());
    m_pairingCaption->setText(pairingCaption(config.requirePairing()));
    m_pairingWarning->setVisible(showsPairingWarning(config.allowNetworkAccess(), config.requirePairing()));
    m_idleDelay->setCurrentIndex(idleDelayIndex(config.idleShutdownDelay()).value_or(-1));
    const bool master = m_context.experimental.masterEnabled();
    showChecked(m_experimentalMaster, master);
    m_features->setVisible(master);
    for (const auto &[feature, toggle] : m_featureSwitches) {
        showChecked(toggle, m_context.experimental.isEnabled(feature));
    }
}

} // namespace cordavelle
