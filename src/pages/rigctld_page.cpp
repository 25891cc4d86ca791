#include "rigctld_page.h"

#include "widgets/input_rules.h"
#include "widgets/coalesced_refresh.h"
#include "widgets/port_field.h"
#include "widgets/setting_note.h"
#include "core/config_store.h"
#include "core/managed_process.h"
#include "core/service_addresses.h"
#include "core/service_orchestrator.h"
#include "pages/page_surroundings.h"
#include "pages/page_parts.h"
#include "radio/radio_power_controller.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

namespace cordavelle {

using namespace rigctld_page;

namespace {

// A row of a symbol and a caption, both in one tone.
QWidget *symbolCaption(const QString &symbolName, const QString &words, Tone tone)
{
    auto *row = new QWidget;
    auto *line = bareRow(row, 6);
    line->addWidget(symbolLabel(symbolName, tone, 14));
    line->addWidget(captionLabel(words, tone), 1);
    return row;
}

QGroupBox *bareSection(QWidget *content) { return pageSection(QString(), content); }

} // namespace

RigctldPage::RigctldPage(const RigctldPageContext &context, QWidget *parent)
    : QWidget(parent), m_context(context), m_state(std::make_shared<RigctldPageState>()),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); })),
      m_frame(this, ServiceID::rigctld, context.orchestrator, context.clock)
{
    setObjectName(QStringLiteral("RigctldPage"));
    setWindowTitle(QStringLiteral("rigctld"));
    ManagedProcess &process = m_context.orchestrator.rigctldProcess();
    m_frame.addLifecycle(config().lifecycleMode, [this](ServiceLifecycleMode mode) {
        return edit([mode](RigctldConfig &c) { c.lifecycleMode = mode; });
    });
    m_frame.addSection(QStringLiteral("Radio"), buildRadio());
    m_frame.addSection(QStringLiteral("Power Management"), buildPower());
    m_frame.addSection(QStringLiteral("Network"), buildNetwork());
    m_frame.add(bareSection(buildTest()));
    m_restartNotice = bareSection(symbolCaption(QStringLiteral("arrow.clockwise.circle"),
                                                QStringLiteral("Restart rigctld to apply configuration changes."),
                                                Tone::secondary));
    m_frame.add(m_restartNotice);

    m_frame.addLog([this] { m_context.orchestrator.rigctldProcess().clearLog(); });
    m_installation = new QWidget;
    m_installation->setObjectName(QStringLiteral("rigctldInstallation"));
    bareColumn(m_installation, 12);
    // The section is made afresh on every refresh; what its buttons could not store stays said.
    m_installationNote = new SettingNote;
    m_frame.addBelowDivider(withNoteBelow(m_installation, m_installationNote));
    m_installerLog = new QPlainTextEdit;
    m_installerLog->setObjectName(QStringLiteral("hamlibInstallerLog"));
    m_installerLog->setReadOnly(true);
    m_installerLog->setFont(textStyle::monospaced(textStyle::caption(m_installerLog->font())));
    m_frame.add(m_installerLog);
    m_frame.column()->addStretch();

    const auto schedule = [this] { m_refresh->schedule(); };
    connect(&m_context.config, &ConfigStore::rigctldConfigChanged, this, schedule);
    connect(&m_context.config, &ConfigStore::allowNetworkAccessChanged, this, schedule);
    connect(&process, &ManagedProcess::stateChanged, this, schedule);
    connect(&process, &ManagedProcess::stateChanged, this, [this] {
        if (m_context.orchestrator.rigctldProcess().state() != ServiceRunState::running) {
            m_state->forgetResult();
        }
    });
    connect(&m_context.orchestrator.radioPower(), &RadioPowerController::radioPowerSupportedChanged, this, schedule);
    connect(m_state.get(), &RigctldPageState::changed, this, schedule);
    if (m_context.installer) {
        connect(m_context.installer, &Installer::changed, this, schedule);
    }

    // Coming into view lists the serial ports and reads the rig catalogue afresh.
    refreshSerialPorts();
    RigctldPageState::loadRigModels(m_state, m_context.runner, m_context.surroundings.lookUpRigctld().found);
    refresh();
}

RigctldPage::~RigctldPage() = default;

RigctldConfig RigctldPage::config() const { return m_context.config.rigctldConfig(); }

std::optional<QString> RigctldPage::edit(const std::function<void(RigctldConfig &)> &change)
{
    RigctldConfig next = config();
    change(next);
    return m_context.config.setRigctldConfig(next);
}

bool RigctldPage::answered(const QWidget *control, const StoreAnswer &answer)
{
    return answerChange(control, answer, [this] { refresh(); });
}

std::optional<QString> RigctldPage::effectiveRigctldPath() const
{
    const QString custom = config().rigctldPath;
    return custom.isEmpty() ? m_context.surroundings.lookUpRigctld().found : std::optional<QString>(custom);
}

void RigctldPage::refreshSerialPorts()
{
    m_serialPorts = m_context.surroundings.listSerialPorts();
    m_refresh->schedule();
}

void RigctldPage::testConnection()
{
    // Where the running rigctld listens: a port stored since may be another program's.
    RigctldPageState::testConnection(m_state, m_context.orchestrator.rigctldConfigInEffect().tcpPort, m_context.clock);
    // At once, not with the next refresh: the button must not take a second press meanwhile.
    refreshTest();
}

void RigctldPage::refresh()
{
    const RigctldConfig now = config();
    m_frame.refresh(now.lifecycleMode);
    refreshRadio();
    showChecked(m_managePower, now.manageRadioPower);
    m_powerWarning->setVisible(m_context.orchestrator.radioPowerSupported() == false);
    m_tcpPort->setPort(now.tcpPort);
    // Where the running rigctld listens: a change of network access reaches it at its next start.
    const QString storedAddress = m_context.config.bindAddress();
    std::optional<QString> runningAddress;
    if (const std::optional<bool> launched = m_context.orchestrator.networkAccessInEffect(ServiceID::rigctld)) {
        runningAddress = rigctldListenAddress(*launched, canListenOnBothFamilies());
    }
    m_listenCaption->setText(rigctld_page::listenCaption(runningAddress.value_or(storedAddress)));
    const QString addressPending = addressWaitingForNextStart(runningAddress, storedAddress);
    QStringList pending{portsWaitingForNextStart(
        QStringLiteral("rigctld"), {{QStringLiteral("port"), m_context.orchestrator.rigctldConfigInEffect().tcpPort, now.tcpPort}})};
    pending << addressPending;
    pending.removeAll(QString());
    m_pendingChanges->setText(pending.join(QLatin1Char(' ')));
    m_pendingChanges->setVisible(!pending.isEmpty());
    refreshTest();
    const ManagedProcess &process = m_context.orchestrator.rigctldProcess();
    m_restartNotice->setVisible(
        settingsChangedSinceLaunch(process.state(), m_context.orchestrator.rigctldLaunchedConfig(), now)
        || (process.state() == ServiceRunState::running && !addressPending.isEmpty()));
    refreshInstallation();
}

QWidget *RigctldPage::buildRadio()
{
    auto *form = new QWidget;
    m_radioForm = new QFormLayout(form);
    m_rigModel = new QComboBox;
    m_rigModel->setObjectName(QStringLiteral("rigModel"));
    m_rigModel->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_rigModel->setMinimumContentsLength(32);
    connect(m_rigModel, &QComboBox::activated, this, [this](int index) {
        const int id = m_rigModel->itemData(index).toInt();
        answered(m_rigModel, edit([id](RigctldConfig &c) { c.rigModel = id; }));
    });
    m_radioForm->addRow(QStringLiteral("Rig Model"), m_rigModel);
    m_radioForm->addRow(new SettingNote(m_rigModel));

    m_connection = new QComboBox;
    m_connection->addItem(QStringLiteral("Serial"), int(RigConnectionType::serial));
    m_connection->addItem(QStringLiteral("Network"), int(RigConnectionType::network));
    connect(m_connection, &QComboBox::activated, this, [this](int index) {
        const auto type = RigConnectionType(m_connection->itemData(index).toInt());
        answered(m_connection, edit([type](RigctldConfig &c) { c.connectionType = type; }));
    });
    m_radioForm->addRow(QStringLiteral("Connection"), m_connection);
    m_radioForm->addRow(new SettingNote(m_connection));

    m_serialRows = new QWidget;
    auto *portRow = bareRow(m_serialRows, 4);
    m_serialPort = new QComboBox;
    m_serialPort->setAccessibleName(QStringLiteral("Port"));
    connect(m_serialPort, &QComboBox::activated, this, [this](int index) {
        const QString path = m_serialPort->itemData(index).toString();
        answered(m_serialPort, edit([&path](RigctldConfig &c) { c.serialPort = path; }));
    });
    portRow->addWidget(m_serialPort, 1);
    QToolButton *refreshPorts = refreshButton(QString(), QStringLiteral("Refresh serial ports"));
    connect(refreshPorts, &QToolButton::clicked, this, [this] { refreshSerialPorts(); });
    portRow->addWidget(refreshPorts);
    m_radioForm->addRow(QStringLiteral("Serial Port"), m_serialRows);
    m_serialPortNote = new SettingNote(m_serialPort);
    m_radioForm->addRow(m_serialPortNote);

    m_baudRate = new QComboBox;
    for (const int rate : baudRates()) {
        m_baudRate->addItem(QString::number(rate), rate);
    }
    connect(m_baudRate, &QComboBox::activated, this, [this](int index) {
        const int rate = m_baudRate->itemData(index).toInt();
        answered(m_baudRate, edit([rate](RigctldConfig &c) { c.baudRate = rate; }));
    });
    m_radioForm->addRow(QStringLiteral("Baud Rate"), m_baudRate);
    m_baudRateNote = new SettingNote(m_baudRate);
    m_radioForm->addRow(m_baudRateNote);

    m_networkRows = new QWidget;
    auto *hostRow = bareRow(m_networkRows, 4);
    m_host = new QLineEdit;
    m_host->setMaximumWidth(200);
    // The form's label names the row around the field and its warning, not the field itself.
    m_host->setAccessibleName(QStringLiteral("Network Host"));
    connect(m_host, &QLineEdit::textEdited, this, [this](const QString &host) {
        answered(m_host, edit([&host](RigctldConfig &c) { c.networkHost = host; }));
    });
    hostRow->addWidget(m_host);
    m_hostWarning = symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), Tone::orange, 16);
    const QString hostProblem = QStringLiteral("Enter a valid hostname or IP address");
    m_hostWarning->setToolTip(hostProblem);
    hostRow->addWidget(m_hostWarning);
    m_hostWarningText = captionLabel(hostProblem, Tone::orange);
    m_hostWarningText->setWordWrap(false);
    hostRow->addWidget(m_hostWarningText);
    hostRow->addStretch();
    m_radioForm->addRow(QStringLiteral("Network Host"), m_networkRows);
    m_hostNote = new SettingNote(m_host);
    m_radioForm->addRow(m_hostNote);
    m_networkPort = new PortField(QStringLiteral("Network Port"), config().networkPort, [this](int port) {
        return edit([port](RigctldConfig &c) { c.networkPort = port; });
    });
    m_radioForm->addRow(m_networkPort);
    m_networkCaption = captionLabel(
        QStringLiteral("Connect to a network radio or remote rig server (e.g. FlexRadio SmartSDR, FLRig)."));
    m_radioForm->addRow(m_networkCaption);
    return form;
}

void RigctldPage::refreshRadio()
{
    const RigctldConfig now = config();
    const std::vector<RigModel> models = availableRigModels(m_state->rigModels(), now.rigModel);
    if (models != m_shownModels) {
        const QSignalBlocker block(m_rigModel);
        m_rigModel->clear();
        for (const RigModel &model : models) {
            m_rigModel->addItem(model.name, model.id);
        }
        m_shownModels = models;
    }
    m_rigModel->setCurrentIndex(m_rigModel->findData(now.rigModel));
    m_connection->setCurrentIndex(m_connection->findData(int(now.connectionType)));

    const bool serial = now.connectionType == RigConnectionType::serial;
    for (QWidget *row : {m_serialRows, static_cast<QWidget *>(m_baudRate)}) {
        m_radioForm->setRowVisible(row, serial);
    }
    for (QWidget *row : {m_networkRows, static_cast<QWidget *>(m_networkPort), static_cast<QWidget *>(m_networkCaption)}) {
        m_radioForm->setRowVisible(row, !serial);
    }
    // What a control said goes with it when the other connection's rows take its place.
    // Not a ?: over two braced lists: the arrays behind them end with the condition, before the loop reads them.
    if (serial) {
        m_hostNote->say(std::nullopt);
    } else {
        m_serialPortNote->say(std::nullopt);
        m_baudRateNote->say(std::nullopt);
    }
    {
        const QSignalBlocker block(m_serialPort);
        m_serialPort->clear();
        m_serialPort->addItem(QStringLiteral("None"), QString());
        for (const SerialPort &port : withSavedPort(now.serialPort, m_serialPorts)) {
            m_serialPort->addItem(port.path(), port.path());
        }
        m_serialPort->setCurrentIndex(m_serialPort->findData(now.serialPort));
    }
    // A rate outside the list matches no row and shows none.
    m_baudRate->setCurrentIndex(m_baudRate->findData(now.baudRate));
    if (m_host->text() != now.networkHost) {
        m_host->setText(now.networkHost);
    }
    m_hostWarning->setVisible(!now.networkHost.isEmpty() && !isValidHost(now.networkHost));
    m_hostWarningText->setVisible(!m_hostWarning->isHidden());
    m_networkPort->setPort(now.networkPort);
}

QWidget *RigctldPage::buildPower()
{
    auto *power = new QWidget;
    auto *column = bareColumn(power);
    m_managePower = new QCheckBox(QStringLiteral("Manage Radio Power"));
    onToggled(m_managePower, this,
              [this](bool on) { answered(m_managePower, edit([on](RigctldConfig &c) { c.manageRadioPower = on; })); });
    column->addWidget(m_managePower);
    column->addWidget(new SettingNote(m_managePower));
    column->addWidget(captionLabel(QStringLiteral("Power on radio when rig control starts. Power off on idle shutdown if "
                                             "radio was off when Helper started it.")));
    m_powerWarning = symbolCaption(QStringLiteral("exclamationmark.triangle.fill"),
                                   QStringLiteral("Radio does not support power control"), Tone::orange);
    column->addWidget(m_powerWarning);
    return power;
}

QWidget *RigctldPage::buildNetwork()
{
    auto *network = new QWidget;
    auto *column = bareColumn(network);
    m_tcpPort = new PortField(QStringLiteral("TCP Port"), config().tcpPort,
                              [this](int port) { return edit([port](RigctldConfig &c) { c.tcpPort = port; }); });
    column->addWidget(m_tcpPort);
    m_listenCaption = captionLabel(QString());
    column->addWidget(m_listenCaption);
    m_pendingChanges = captionLabel(QString());
    m_pendingChanges->setObjectName(QStringLiteral("pendingChanges"));
    column->addWidget(m_pendingChanges);
    return network;
}

QWidget *RigctldPage::buildTest()
{
    auto *row = new QWidget;
    auto *line = bareRow(row);
    m_test = new QPushButton(QStringLiteral("Test Connection"));
    m_test->setToolTip(QStringLiteral("Query the radio via rigctld to verify communication"));
    connect(m_test, &QPushButton::clicked, this, [this] { testConnection(); });
    line->addWidget(m_test);
    m_testBusy = new QProgressBar;
    m_testBusy->setRange(0, 0);
    m_testBusy->setTextVisible(false);
    m_testBusy->setMaximumWidth(80);
    line->addWidget(m_testBusy);
    m_testResult = captionLabel(QString());
    m_testResult->setObjectName(QStringLiteral("testResult"));
    // Two lines at most: a long reply is cut, not allowed to push the page apart.
    m_testResult->setMaximumHeight(2 * m_testResult->fontMetrics().lineSpacing());
    line->addWidget(m_testResult, 1);
    m_testHint = captionLabel(QStringLiteral("Start rigctld first to test"));
    line->addWidget(m_testHint, 1);
    line->addStretch();
    return row;
}

void RigctldPage::refreshTest()
{
    const bool running = m_context.orchestrator.rigctldProcess().state() == ServiceRunState::running;
    const TestRow row = testRow(m_state->isTesting(), m_state->testResult(), running);
    m_test->setEnabled(row.buttonEnabled);
    m_testBusy->setVisible(row.busy);
    m_testResult->setVisible(row.result.has_value());
    if (row.result) {
        setToneText(m_testResult, *row.result, row.resultTone);
    }
    m_testHint->setVisible(row.hint);
}

} // namespace cordavelle
