#include "rigctld_page.h"

#include "widgets/copyable_command.h"
#include "widgets/log_viewer.h"
#include "widgets/wrapping_text.h"
#include "core/config_store.h"
#include "install/installer.h"
#include "pages/page_surroundings.h"
#include "pages/page_parts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

namespace cordavelle {

using namespace rigctld_page;

namespace {

void paintAccent(QLabel *label, const QPalette &from)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, from.color(QPalette::Highlight));
    label->setPalette(palette);
}

} // namespace

void RigctldPage::refreshInstallation()
{
    auto *rows = static_cast<QVBoxLayout *>(m_installation->layout());
    clearRows(rows);
    HamlibFacts facts;
    if (m_context.installer) {
        facts.progress = m_context.installer->progress();
        facts.managed = m_context.installer->installedCopy();
    }
    facts.customPath = config().rigctldPath;
    if (!facts.customPath.isEmpty()) {
        facts.effectivePath = facts.customPath;
        facts.customRefusal = programRefusal(QStringLiteral("rigctld"), facts.customPath);
    } else {
        const ProgramSearch search = m_context.surroundings.lookUpRigctld();
        facts.effectivePath = search.found;
        facts.passedOver = search.passedOver;
    }
    HamlibSection shown = hamlibSection(facts);
    if (!m_context.installer) {
        // Without an installer only the choice of a program is left.
        std::erase_if(shown.buttons, [](const HamlibSection::Button &b) { return b.action == HamlibSection::Action::install; });
    }

    QLabel *title = pageLabel(QStringLiteral("Installation"), Tone::secondary, textStyle::headline);
    title->setPalette(palette());
    rows->addWidget(title);

    auto *line = new QHBoxLayout;
    line->setSpacing(8);
    switch (shown.view) {
    case HamlibSection::View::idle: rows->addWidget(idleInstallView(shown)); break;
    case HamlibSection::View::downloading: {
        auto *bar = new QProgressBar;
        bar->setRange(0, 1000);
        bar->setValue(int(shown.progress * 1000));
        // A server that has sent nothing for a while is said to be waited for.
        bar->setFormat(facts.progress.message.isEmpty() ? QStringLiteral("Downloading Hamlib…") : facts.progress.message);
        line->addWidget(bar, 1);
        break;
    }
    case HamlibSection::View::extracting: {
        auto *bar = new QProgressBar;
        bar->setRange(0, 0);
        bar->setMaximumWidth(120);
        line->addWidget(bar);
        line->addWidget(pageLabel(QStringLiteral("Extracting…"), Tone::secondary));
        line->addStretch();
        break;
    }
    case HamlibSection::View::complete:
        line->addWidget(symbolLabel(QStringLiteral("checkmark.circle.fill"), Tone::green, 16));
        line->itemAt(line->count() - 1)->widget()->setAccessibleName(QStringLiteral("Installed"));
        line->addWidget(pageLabel(shown.line, Tone::green), 1, Qt::AlignVCenter);
        break;
    case HamlibSection::View::error: {
        line->addWidget(symbolLabel(QStringLiteral("xmark.circle.fill"), Tone::red, 16), 0, Qt::AlignTop);
        line->itemAt(line->count() - 1)->widget()->setAccessibleName(QStringLiteral("Failed"));
        auto *error = new WrappingText;
        error->setToneText(shown.line, Tone::red);
        line->addWidget(error, 1, Qt::AlignTop);
        break;
    }
    }
    if (shown.view != HamlibSection::View::idle) {
        for (const HamlibSection::Button &action : shown.buttons) {
            QPushButton *b = pageButton(action.label, action.primary, action.help);
            const auto what = action.action;
            connect(b, &QPushButton::clicked, this, [this, what] { act(what); });
            line->addWidget(b, 0, Qt::AlignTop);
        }
        rows->addLayout(line);
        if (shown.view == HamlibSection::View::error) {
            auto *command = new CopyableCommand;
            command->setCommand(adviceCommand(shown.line));
            rows->addWidget(command);
        }
    } else {
        delete line;
    }
    refreshInstallerLog();
}

QWidget *RigctldPage::idleInstallView(const HamlibSection &shown)
{
    auto *view = new QWidget;
    auto *column = bareColumn(view, 10);
    if (!shown.path.isEmpty()) {
        auto *row = new QHBoxLayout;
        row->setSpacing(8);
        QLabel *mark = shown.warning        ? symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), Tone::red, 20)
                       : shown.filledSymbol ? symbolLabel(QStringLiteral("checkmark.circle.fill"), Tone::secondary, 20)
                                            : symbolLabel(QStringLiteral("checkmark.circle"), Tone::secondary, 20);
        if (shown.filledSymbol) {
            mark->setPixmap(tintedPixmap(symbolIcon(QStringLiteral("checkmark.circle.fill")), 20,
                                         palette().color(QPalette::Highlight), mark->devicePixelRatioF()));
        }
        mark->setAccessibleName(shown.warning ? QStringLiteral("Needs attention") : QStringLiteral("Installed"));
        row->addWidget(mark);
        auto *names = new QVBoxLayout;
        names->setSpacing(2);
        QLabel *status = pageLabel(shown.status, shown.statusTone);
        status->setObjectName(QStringLiteral("installationTitle"));
        if (shown.statusAccent) {
            paintAccent(status, palette());
        }
        names->addWidget(status);
        QLabel *path = pageLabel(shown.path, Tone::secondary, textStyle::monospaced);
        path->setFont(textStyle::caption(path->font()));
        path->setObjectName(QStringLiteral("installationPath"));
        path->setTextInteractionFlags(Qt::TextSelectableByMouse);
        names->addWidget(path);
        row->addLayout(names, 1);
        column->addLayout(row);
    } else {
        QLabel *missing = pageLabel(shown.status, Tone::secondary);
        missing->setObjectName(QStringLiteral("installationTitle"));
        column->addWidget(missing);
    }
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    for (const HamlibSection::Button &action : shown.buttons) {
        QPushButton *b = pageButton(action.label, action.primary, action.help);
        const auto what = action.action;
        m_installationNote->serve(b);
        connect(b, &QPushButton::clicked, this, [this, what] { act(what); });
        buttons->addWidget(b);
    }
    buttons->addStretch();
    column->addLayout(buttons);
    return view;
}

void RigctldPage::refreshInstallerLog()
{
    const QStringList lines = m_context.installer ? m_context.installer->logLines() : QStringList{};
    m_installerLog->setVisible(!lines.isEmpty());
    const std::optional<qsizetype> target = logScrollTarget(m_installerLogCount, lines.size());
    m_installerLogCount = lines.size();
    if (m_installerLog->toPlainText() != logCopyText(lines)) {
        m_installerLog->setPlainText(logCopyText(lines));
    }
    // As high as its lines, up to 120 points; then it scrolls.
    const int wanted = int(lines.size()) * m_installerLog->fontMetrics().lineSpacing() + 18;
    m_installerLog->setFixedHeight(std::min(120, wanted));
    if (target) {
        m_installerLog->verticalScrollBar()->setValue(m_installerLog->verticalScrollBar()->maximum());
    }
}

void RigctldPage::act(HamlibSection::Action action)
{
    switch (action) {
    case HamlibSection::Action::install:
    case HamlibSection::Action::retry:
        if (m_context.installer) {
            m_context.installer->start();
        }
        break;
    case HamlibSection::Action::cancel:
        if (m_context.installer) {
            m_context.installer->cancel();
        }
        break;
    case HamlibSection::Action::chooseCustom: presentBinaryPicker(); break;
    case HamlibSection::Action::resetToAuto:
        m_installationNote->answer(edit([](RigctldConfig &c) { c.rigctldPath.clear(); }), [this] { refresh(); });
        break;
    }
}

void RigctldPage::presentBinaryPicker()
{
    const QString chosen = chooseUsableProgram(
        m_context.surroundings, m_context.alerts, this, QStringLiteral("rigctld"), QStringLiteral("Choose a rigctld binary"),
        QStringLiteral("Pick the rigctld executable the Helper should launch. Typical locations: "
                       "/usr/bin/, /usr/local/bin/, or a custom install directory."),
        binaryPickerFolder(effectiveRigctldPath()));
    if (!chosen.isEmpty()) {
        m_installationNote->answer(edit([&chosen](RigctldConfig &c) { c.rigctldPath = chosen; }), [this] { refresh(); });
    }
}

} // namespace cordavelle
