#include "setup_checklist_page.h"

#include "widgets/coalesced_refresh.h"
#include "widgets/form_parts.h"
#include "widgets/log_viewer.h"
#include "setup/setup_views.h"
#include "base/tool_lookup.h"
#include "core/config_store.h"
#include "core/service_orchestrator.h"
#include "install/hamlib_installer.h"
#include "install/vara_installer.h"
#include "install/wine_installer.h"
#include "install/wine_prefix_manager.h"
#include "setup/checklist/checklist_rows.h"
#include "setup/checklist/updates_section.h"
#include "setup/installer_row.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QClipboard>
#include <QEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace cordavelle {

Alert noLogOpenerAlert(const QString &path)
{
    return {Alert::Style::informational,
            QStringLiteral("No Text Viewer Found"),
            QStringLiteral("The desktop has no program set up to open text files for other programs. Open the "
                           "install log with any text editor; it is at:\n\n") +
                path,
            {QStringLiteral("Copy Path"), QStringLiteral("OK")}};
}

Alert resetConfirmation(ResetTarget target)
{
    Alert alert;
    alert.style = Alert::Style::warning;
    alert.destructive = true;
    const QString cancel = QStringLiteral("Cancel");
    switch (target) {
    case ResetTarget::winePrefix:
        alert.message = QStringLiteral("Delete Wine Prefix?");
        alert.informativeText = QStringLiteral("This will delete the entire Wine environment including any installed "
                                               "VARA files. You will need to set up Wine and reinstall VARA.");
        alert.buttons = {QStringLiteral("Delete"), cancel};
        break;
    case ResetTarget::varaHF:
    case ResetTarget::varaFM: {
        const QString name = displayName(target == ResetTarget::varaHF ? VARAVariant::hf : VARAVariant::fm);
        alert.message = QStringLiteral("Uninstall %1?").arg(name);
        alert.informativeText =
            QStringLiteral("This will remove %1 from the Wine prefix. You can reinstall it afterwards.").arg(name);
        alert.buttons = {QStringLiteral("Uninstall"), cancel};
        break;
    }
    }
    return alert;
}

QStringList combinedInstallLog(const SetupInstallers &installers)
{
    std::vector<Installer::ShownLine> lines;
    for (const Installer *installer : std::initializer_list<const Installer *>{
             &installers.prefix, &installers.varaHF, &installers.varaFM, &installers.wine, &installers.hamlib}) {
        const std::vector<Installer::ShownLine> shown = installer->shownLog();
        lines.insert(lines.end(), shown.begin(), shown.end());
    }
    std::sort(lines.begin(), lines.end(), [](const auto &a, const auto &b) { return a.order < b.order; });
    QStringList combined;
    combined.reserve(qsizetype(lines.size()));
    for (Installer::ShownLine &line : lines) {
        combined << std::move(line.text);
    }
    return combined;
}

namespace {

// Lines of a section share the group's column, a little apart.
QVBoxLayout *sectionColumn(QGroupBox *section)
{
    auto *column = static_cast<QVBoxLayout *>(section->layout());
    column->setSpacing(12);
    return column;
}

} // namespace

SetupChecklistPage::SetupChecklistPage(SetupChecklistContext context, QWidget *parent)
    : QWidget(parent), m_context(std::move(context)), m_refresh(new CoalescedRefresh(this, [this] { refresh(); }))
{
    setObjectName(QStringLiteral("setupChecklist"));
    const SetupInstallers &installers = m_context.installers;
    QVBoxLayout *form = scrollingColumn(this);
    form->setSpacing(12);

    auto *intro = new QLabel;
    intro->setWordWrap(true);
    setToneText(intro,
                QStringLiteral("Complete the items below to configure Cordavelle Helper. Items are checked automatically."),
                Tone::secondary);
    form->addWidget(intro);
    auto *wine = formSection(QStringLiteral("1. Wine"));
    for (Line line : {Line::wine, Line::winetricks, Line::prefix}) {
        addLine(line, sectionColumn(wine));
    }
    form->addWidget(wine);
    auto *modems = formSection(QStringLiteral("2. Modems"));
    addLine(Line::varaHF, sectionColumn(modems));
    addLine(Line::varaFM, sectionColumn(modems));
    form->addWidget(modems);
    auto *radio = formSection(QStringLiteral("3. Radio Control (Optional)"));
    addLine(Line::hamlib, sectionColumn(radio));
    form->addWidget(radio);
    auto *updates = formSection(QStringLiteral("Updates"));
    sectionColumn(updates)->addWidget(new UpdatesSection(installers.updateNudge));
    form->addWidget(updates);
    form->addWidget(buildLogFileLine());

    m_log = new LogViewer([this] { clearLogs(); });
    form->addWidget(m_log);
    form->addStretch();

    const auto schedule = [this] { m_refresh->schedule(); };
    for (Installer *installer : lineInstallers()) {
        if (installer) {
            connect(installer, &Installer::changed, this, schedule);
        }
    }
    // The versions shown come from the modems' records.
    connect(&m_context.config, &ConfigStore::varaConfigChanged, this, schedule);
    connect(&m_context.config, &ConfigStore::varaFMConfigChanged, this, schedule);
    refresh();
}

void SetupChecklistPage::addLine(Line line, QVBoxLayout *column)
{
    auto *row = new InstallerRow;
    m_rows[std::size_t(line)] = row;
    connect(row, &InstallerRow::commandTriggered, this, [this, line](RowCommand command) { act(line, command); });
    column->addWidget(row);
}

QWidget *SetupChecklistPage::buildLogFileLine()
{
    auto *box = new QGroupBox;
    auto *line = new QHBoxLayout(box);
    line->addWidget(captionLabel(QStringLiteral("Log file:"), Tone::secondary));
    // Naming the file makes it (with its header line) when it is missing.
    const QString path = m_context.installers.prefix.logFileURL();
    // A long path is cut in its middle rather than widening the page; the tooltip has it whole.
    auto *logPath = new MiddleElidedLabel(1);
    logPath->setFont(textStyle::caption(logPath->font()));
    setToneText(logPath, QString(), Tone::tertiary);
    logPath->setFullText(path);
    logPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    logPath->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    m_logPath = logPath;
    line->addWidget(m_logPath, 1);
    m_openLog = new QPushButton(QStringLiteral("Open in Text Viewer"));
    m_openLog->setFlat(true);
    m_openLog->setFont(textStyle::caption(m_openLog->font()));
    connect(m_openLog, &QPushButton::clicked, this, [this, path] {
        if (!m_context.openFile(path) && m_context.alerts.present(noLogOpenerAlert(path), this) == 0) {
            QGuiApplication::clipboard()->setText(path);
        }
    });
    line->addWidget(m_openLog);
    return box;
}

std::array<Installer *, 6> SetupChecklistPage::lineInstallers() const
{
    const SetupInstallers &installers = m_context.installers;
    // In the order of Line.
    return {&installers.wine, &installers.wine.winetricksInstaller(), &installers.prefix, &installers.varaHF, &installers.varaFM, &installers.hamlib};
}

void SetupChecklistPage::act(Line line, RowCommand command)
{
    Installer *installer = lineInstallers()[std::size_t(line)];
    switch (command) {
    case RowCommand::start:
        if (installer) {
            installer->start();
        }
        break;
    case RowCommand::cancel:
        if (installer) {
            installer->cancel();
        }
        break;
    case RowCommand::configure:
        if (line == Line::varaHF || line == Line::varaFM) {
            m_context.select(line == Line::varaHF ? SidebarSection::varaHF : SidebarSection::varaFM);
        } else if (line == Line::hamlib) {
            m_context.select(SidebarSection::rigctld);
        }
        break;
    case RowCommand::menu:
        if (line == Line::prefix) {
            confirmReset(ResetTarget::winePrefix);
        } else if (line == Line::varaHF || line == Line::varaFM) {
            confirmReset(line == Line::varaHF ? ResetTarget::varaHF : ResetTarget::varaFM);
        }
        break;
    }
    // File-system checks may answer differently after an action, whatever the states did.
    m_refresh->schedule();
}

QCoro::Task<void> SetupChecklistPage::deletePrefix(SetupInstallers installers)
{
    co_await installers.prefix.deletePrefix();
    // A modem's failed install or removal spoke of a prefix that is no longer there.
    if (!QFileInfo::exists(installers.prefix.prefixPath())) {
        installers.varaHF.forgetFailure();
        installers.varaFM.forgetFailure();
    }
}

void SetupChecklistPage::confirmReset(ResetTarget target)
{
    if (m_context.alerts.present(resetConfirmation(target), this) != 0) {
        return;
    }
    // Each stops a modem that runs from what goes before removing anything; the installers
    // outlive this page, so the work goes on if the page is left meanwhile.
    const SetupInstallers &installers = m_context.installers;
    switch (target) {
    case ResetTarget::winePrefix: deletePrefix(installers); break;
    case ResetTarget::varaHF: installers.varaHF.uninstall(); break;
    case ResetTarget::varaFM: installers.varaFM.uninstall(); break;
    }
    m_refresh->schedule();
}

void SetupChecklistPage::refresh()
{
    using namespace checklist;
    const SetupInstallers &installers = m_context.installers;
    WineInstaller &wine = installers.wine;
    WinePrefixManager &prefix = installers.prefix;
    const auto display = [this](Line line, const InstallerRowLook &look) { row(line)->display(look); };

    const InstalledCopy wineCopy = wine.installedCopy();
    const ProgramSearch wineSearch = tools::lookUpWine();
    const std::optional<QString> winePassedOver =
        wineSearch.passedOver && !wineCopy.present && !wineSearch.found
            ? std::optional(HelperError::wineNotFound(*wineSearch.passedOver).description())
            : std::nullopt;
    display(Line::wine, wineLook(wine.progress(), wineCopy, [&wineSearch] { return wineSearch.found.has_value(); },
                                 wineWithout32Bit(), winePassedOver));
    const bool ownWinetricks = wine.isWinetricksInstalled();
    const ProgramSearch winetricksSearch = tools::lookUpWinetricks();
    const bool winetricks = ownWinetricks || winetricksSearch.found.has_value();
    WinetricksFacts winetricksFacts{winetricks, ownWinetricks, wineSearch.found.has_value(),
                                    wine.winetricksInstaller().progress(), tools::findAptGet().has_value(),
                                    wineCopy.present};
    if (!winetricks && winetricksSearch.passedOver) {
        winetricksFacts.passedOver = passedOverText(QStringLiteral("winetricks"), *winetricksSearch.passedOver);
    }
    display(Line::winetricks, winetricksLook(winetricksFacts));
    const PrefixFacts prefixFacts{[&prefix] { return prefix.isInitialized(); },
                                  [&prefix] { return prefix.hasDependencies(); },
                                  [&wineSearch] { return wineSearch.found.has_value(); }, winetricks};
    display(Line::prefix, winePrefixLook(prefix.progress(), prefixFacts));
    for (const auto &[line, variant] : {std::pair(Line::varaHF, VARAVariant::hf), std::pair(Line::varaFM, VARAVariant::fm)}) {
        VARAInstaller &installer = installers.vara(variant);
        const VARAFacts facts{[variant = variant] { return ServiceOrchestrator::isVARAInstalled(variant); },
                              // A prefix being deleted takes no install, whatever is left of it.
                              [&prefixFacts, &prefix] { return !prefix.progress().removing && prefixReady(prefixFacts); },
                              [&installer] { return installer.installedVersion(); }};
        display(line, varaLook(variant, installer.progress(), facts));
    }
    const InstalledCopy hamlib = installers.hamlib.installedCopy();
    const ProgramSearch rigctld = tools::lookUpRigctld();
    const bool rigctldInstalled = hamlib.present || rigctld.found.has_value();
    display(Line::hamlib, hamlibLook(installers.hamlib.progress(), [rigctldInstalled] { return rigctldInstalled; },
                                     hamlib.version,
                                     rigctld.passedOver && !rigctldInstalled
                                         ? std::optional(HelperError::rigctldNotFound(rigctld.passedOver).description())
                                         : std::nullopt));

    const QStringList lines = combinedInstallLog(installers);
    m_log->setLogLines(lines);
    m_log->setVisible(!lines.isEmpty());
}

void SetupChecklistPage::clearLogs()
{
    const SetupInstallers &installers = m_context.installers;
    installers.prefix.clearLog();
    installers.varaHF.clearLog();
    installers.varaFM.clearLog();
    installers.wine.clearLog();
    installers.hamlib.clearLog();
}

void SetupChecklistPage::showEvent(QShowEvent *event)
{
    // Tools installed or removed outside the helper show as soon as the page is seen again.
    refresh();
    QWidget::showEvent(event);
}

void SetupChecklistPage::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        m_refresh->schedule();
    }
    QWidget::changeEvent(event);
}

QWidget *makeSetupChecklistPage(const SetupContext &context, std::function<void(SidebarSection)> select, QWidget *parent)
{
    return new SetupChecklistPage({context.installers, context.config, context.alerts, std::move(select),
                                   [](const QString &path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }},
                                  parent);
}

} // namespace cordavelle
