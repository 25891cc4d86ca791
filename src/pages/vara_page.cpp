#include "pages/vara_page.h"

#include "widgets/input_rules.h"
#include "widgets/coalesced_refresh.h"
#include "widgets/copyable_command.h"
#include "widgets/setting_note.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "core/managed_process.h"
#include "core/service_orchestrator.h"
#include "install/vara_installer.h"
#include "install/wine_without_32bit.h"
#include "pages/page_parts.h"
#include "pages/page_surroundings.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace cordavelle {

using namespace vara_page;

namespace {

// A fixed sentence with bold spans marked as in Markdown.
QLabel *markdownLabel(const QString &text, bool secondary, QFont (*style)(const QFont &))
{
    auto *label = new QLabel;
    setMarkedUpText(label, text, Qt::MarkdownText);
    label->setWordWrap(true);
    label->setFont(style(label->font()));
    if (secondary) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, toneColour(Tone::secondary, palette));
        label->setPalette(palette);
    }
    return label;
}

QFont callout(const QFont &base) { return base; }

// Plain text in the primary colour.
QLabel *plainLabel(const QString &text, QFont (*style)(const QFont &))
{
    auto *label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setFont(style(label->font()));
    return label;
}

// Plain text in the label's primary colour, or the secondary one when dimmed.
void showText(QLabel *label, const QString &text, bool dimmed)
{
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    QPalette palette = label->parentWidget() ? label->parentWidget()->palette() : QPalette();
    if (dimmed) {
        palette.setColor(QPalette::WindowText, toneColour(Tone::secondary, palette));
    }
    label->setPalette(palette);
}

} // namespace

VARAPage::VARAPage(ServiceOrchestrator &orchestrator, ConfigStore &config, Clock &clock, VARAVariant variant,
                   VARAInstaller &installer, QWidget *parent)
    : QWidget(parent), m_orchestrator(orchestrator), m_config(config), m_variant(variant),
      m_installer(installer), m_state(std::make_shared<VARAPageState>()),
      m_refresh(new CoalescedRefresh(this, [this] { refresh(); })),
      m_frame(this, serviceID(variant), orchestrator, clock)
{
    setObjectName(QStringLiteral("VARAPage"));
    setWindowTitle(displayName(m_variant));
    m_frame.addLifecycle(record().lifecycleMode, [this](ServiceLifecycleMode mode) {
        return edit([mode](VARAConfigFields &c) { c.lifecycleMode = mode; });
    });
    m_frame.addSection(QStringLiteral("Installation"), buildInstallation());
    m_frame.addSection(QStringLiteral("Configuration"), buildConfiguration());
    m_frame.addSection(QStringLiteral("Diagnostics"), buildDiagnostics());
    m_frame.addLog([this] { m_orchestrator.process(serviceID(m_variant)).clearLog(); });
    m_frame.column()->addStretch();

    const auto schedule = [this] { m_refresh->schedule(); };
    // Both records: VARA FM may run with VARA HF's Wine.
    connect(&m_config, &ConfigStore::varaConfigChanged, this, schedule);
    connect(&m_config, &ConfigStore::varaFMConfigChanged, this, schedule);
    connect(m_state.get(), &VARAPageState::changed, this, schedule);
    refresh();
}

VARAPage::~VARAPage() = default;

VARAConfigFields VARAPage::record() const
{
    if (m_variant == VARAVariant::hf) {
        return m_config.varaConfig();
    }
    return m_config.varaFMConfig();
}

StoreAnswer VARAPage::edit(const std::function<void(VARAConfigFields &)> &change)
{
    if (m_variant == VARAVariant::hf) {
        VARAConfig next = m_config.varaConfig();
        change(next);
        return m_config.setVaraConfig(next);
    }
    VARAFMConfig next = m_config.varaFMConfig();
    change(next);
    return m_config.setVaraFMConfig(next);
}

void VARAPage::checkForUpdate()
{
    ConfigStore &config = m_config;
    const VARAVariant variant = m_variant;
    // The recorded version as it stands once the downloads page has answered.
    VARAPageState::checkForUpdate(m_state, DependencyUpdateNudge::varaLookup(m_installer, [&config, variant] {
                                      return variant == VARAVariant::hf ? config.varaConfig().installedVersion
                                                                         : config.varaFMConfig().installedVersion;
                                  }));
    // At once, not with the next refresh: the button must not take a second press meanwhile.
    refresh();
}

QWidget *VARAPage::buildInstallation()
{
    auto *rows = new QWidget;
    auto *form = new QFormLayout(rows);
    m_winePath = new QLabel;
    m_winePath->setObjectName(QStringLiteral("winePath"));
    m_winePath->setWordWrap(true);
    m_winePath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_winePath->setFont(textStyle::monospaced(textStyle::caption(m_winePath->font())));
    // Under the path, why that Wine can't be used.
    auto *wine = new QWidget;
    QVBoxLayout *wineColumn = bareColumn(wine, 2);
    wineColumn->addWidget(m_winePath);
    m_wineProblem = pageLabel(QString(), Tone::red);
    m_wineProblem->setObjectName(QStringLiteral("wineProblem"));
    m_wineProblem->setWordWrap(true);
    m_wineProblem->setVisible(false);
    wineColumn->addWidget(m_wineProblem);
    m_wineCommand = new CopyableCommand;
    wineColumn->addWidget(m_wineCommand);
    form->addRow(QStringLiteral("Wine Path"), wine);

    auto *versionRow = new QWidget;
    auto *line = bareRow(versionRow);
    m_version = new QLabel;
    m_version->setObjectName(QStringLiteral("installedVersion"));
    line->addWidget(m_version);
    line->addStretch();
    m_checking = new QProgressBar;
    m_checking->setRange(0, 0);
    m_checking->setTextVisible(false);
    m_checking->setFixedWidth(40);
    line->addWidget(m_checking);
    m_check = new QPushButton(QStringLiteral("Check for Updates"));
    connect(m_check, &QPushButton::clicked, this, &VARAPage::checkForUpdate);
    line->addWidget(m_check);
    m_versionTitle = new QLabel(displayName(m_variant) + QStringLiteral(" Version"));
    form->addRow(m_versionTitle, versionRow);

    m_result = captionLabel(QString());
    m_result->setObjectName(QStringLiteral("updateCheckResult"));
    form->addRow(m_result);
    return rows;
}

QWidget *VARAPage::buildConfiguration()
{
    auto *content = new QWidget;
    auto *column = bareColumn(content, 10);
    const QString modem = displayName(m_variant);
    column->addWidget(markdownLabel(QStringLiteral("**Audio devices** are selected inside ") + modem +
                                        QStringLiteral(" itself.  Start the service, then open **Setup → Sound Card** in "
                                                       "the VARA window and pick your input and output devices."),
                                    true, callout));

    auto *texts = new QWidget;
    auto *stack = bareColumn(texts, 6);
    stack->addWidget(markdownLabel(
        QStringLiteral("**Sound Card picks may not persist if you have multiple identically-named audio devices.**"), false,
        callout));
    stack->addWidget(plainLabel(QStringLiteral(
        "VARA identifies devices by display name only.  If two or more audio devices of this computer share a name (e.g. "
        "multiple Icom radios all enumerating as \"USB Audio CODEC\"), VARA cannot tell them apart and your Sound Card "
        "pick will revert as soon as you reopen the menu — VARA itself has no way to disambiguate them."),
        textStyle::caption));
    stack->addWidget(markdownLabel(
        QStringLiteral("**Workaround:** in the desktop's sound system, make a **remapped device** wrapping the specific "
                       "radio you want (`pactl load-module module-remap-source`, and `module-remap-sink` for its "
                       "output), give it a unique name like \"IC-7600-Audio\", then pick that device in VARA's Sound Card "
                       "menu.  The unique name round-trips cleanly."),
        false, textStyle::caption));
    column->addWidget(noticeBox(QStringLiteral("exclamationmark.triangle.fill"), Tone::orange, texts));

    column->addWidget(markdownLabel(
        QStringLiteral("**PTT and radio control** are configured in Cordavelle's **Settings → Radios**, not inside the "
                       "VARA window. On Linux, VARA runs headless under Wine and the Windows Setup-menu options for those "
                       "settings don't apply here."),
        true, callout));
    return content;
}

QWidget *VARAPage::buildDiagnostics()
{
    auto *content = new QWidget;
    auto *column = bareColumn(content);
    m_audioDebug = new QCheckBox(QStringLiteral("Audio debug logging"));
    m_audioDebug->setToolTip(QStringLiteral(
        "Launches VARA with Wine audio-subsystem debug output (WINEDEBUG=+mmdevapi,+dsound,+wave). Off unless "
        "troubleshooting a startup crash — the output is very noisy."));
    // Taken at the modem's next launch; the page leaves a running modem alone.
    onToggled(m_audioDebug, this, [this](bool on) {
        answerChange(m_audioDebug, edit([on](VARAConfigFields &c) { c.audioDebugEnabled = on; }), [this] { refresh(); });
    });
    column->addWidget(m_audioDebug);
    column->addWidget(new SettingNote(m_audioDebug));
    column->addWidget(captionLabel(QStringLiteral("Restart ") + displayName(m_variant) +
                                   QStringLiteral(" after changing this setting.")));
    return content;
}

void VARAPage::refresh()
{
    const VARAConfigFields now = record();
    m_frame.refresh(now.lifecycleMode);
    const ProgramSearch wine = tools::lookUpWine();
    const InstallationRows rows = installationRows(m_variant, m_config.varaConfig(), m_config.varaFMConfig(), wine.found);
    showText(m_winePath, rows.winePath, rows.winePathDimmed);
    // As a start would refuse it: the Wine it would run, the one the look-up passed over, or
    // the one that can't run VARA, in the words of the setup checklist.
    std::optional<QString> problem;
    QString command;
    if (!rows.winePathDimmed) {
        problem = programRefusal(QStringLiteral("Wine for ") + displayName(m_variant), rows.winePath);
    } else if (wine.passedOver) {
        problem = HelperError::wineNotFound(*wine.passedOver).description();
    } else if (const std::optional<WineWithout32Bit> without32Bit = wineWithout32Bit()) {
        const WineWithout32BitAdvice advice = adviceFor(*without32Bit);
        problem = advice.note;
        command = advice.command;
    }
    m_wineProblem->setText(problem.value_or(QString()));
    m_wineProblem->setVisible(problem.has_value());
    m_wineCommand->setCommand(command);
    showText(m_version, rows.version, rows.versionDimmed);
    const bool checking = m_state->isCheckingForUpdate();
    m_checking->setVisible(checking);
    m_check->setVisible(!checking);
    m_check->setEnabled(rows.canCheck);
    const std::optional<QString> &result = m_state->updateCheckResult();
    m_result->setVisible(result.has_value());
    m_result->setText(result.value_or(QString()));
    showChecked(m_audioDebug, now.audioDebugEnabled);
}

} // namespace cordavelle
