#include "direwolf_page.h"

#include "widgets/accent_style.h"
#include "widgets/alert_presenter.h"
#include "widgets/coalesced_refresh.h"
#include "widgets/status_look.h"
#include "base/helper_error.h"
#include "base/helper_places.h"
#include "core/config_store.h"
#include "install/legacy_direwolf_cleanup.h"
#include "pages/page_surroundings.h"
#include "platform/user_defaults.h"
#include "radio/direwolf_discovery.h"
#include "radio/rig_control_server_discovery.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace cordavelle {

using namespace direwolf_page;

namespace {

// The banners' common frame: symbol, headline, text and two buttons on a faint tint.
QWidget *bannerFrame(const QString &name, Tone tone, const QString &symbolName, const QString &title,
                     const QString &body, QPushButton *first, QPushButton *second)
{
    auto *frame = new QFrame;
    frame->setObjectName(name);
    const QColor tint = toneColour(tone, frame->palette());
    frame->setStyleSheet(QStringLiteral("#%1 { background: rgba(%2,%3,%4,20); border-radius: 8px; }")
                             .arg(name)
                             .arg(tint.red())
                             .arg(tint.green())
                             .arg(tint.blue()));
    auto *row = new QHBoxLayout(frame);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(12);
    row->addWidget(symbolLabel(symbolName, tone, 24), 0, Qt::AlignTop);
    auto *column = new QVBoxLayout;
    column->setSpacing(6);
    QLabel *heading = pageLabel(title, Tone::secondary, textStyle::headline);
    heading->setPalette(frame->palette());
    column->addWidget(heading);
    column->addWidget(pageLabel(body, Tone::secondary));
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addWidget(first);
    buttons->addWidget(second);
    buttons->addStretch();
    column->addSpacing(4);
    column->addLayout(buttons);
    row->addLayout(column, 1);
    return frame;
}

} // namespace

bool DirewolfPage::nudgeDismissed() const { return m_context.defaults.boolForKey(kDismissedNudgeKey); }

StoreAnswer DirewolfPage::dismissNudge()
{
    const StoreAnswer answer = m_context.defaults.setObject(kDismissedNudgeKey, true);
    m_refresh->schedule();
    return answer;
}

void DirewolfPage::refreshBanners()
{
    clearRows(m_banners->layout());
    const DirewolfConfig now = config();
    LegacyDirewolfCleanup &cleanup = m_context.legacyCleanup;
    const LegacyFacts legacy{cleanup.isLegacyInstallPresent(), cleanup.isPromptDismissed(),
                             m_context.discovery.direwolfPath().has_value() || !now.direwolfPath.isEmpty(),
                             cleanup.legacyBinaryInUse().has_value()};
    if (shouldShowLegacyCleanupBanner(legacy)) {
        m_banners->layout()->addWidget(legacyBanner());
    }
    if (shouldShowNativeRigControlNudge(now, m_context.rigControl.endpoints(), nudgeDismissed())) {
        m_banners->layout()->addWidget(nudgeBanner());
    }
    m_banners->setVisible(m_banners->layout()->count() > 0);
}

QWidget *DirewolfPage::nudgeBanner()
{
    auto *switchButton = pageButton(QStringLiteral("Switch to CAT via Cordavelle"), true);
    m_bannerNote->serve(switchButton);
    connect(switchButton, &QPushButton::clicked, this, [this, switchButton] {
        StoreAnswer answer = edit([](DirewolfConfig &c) { c.pttMethod = DirewolfPTTMethod::nativeCorvexa(); });
        if (!answer) {
            answer = dismissNudge();
        }
        answered(switchButton, answer);
    });
    auto *keep = pageButton(QStringLiteral("Keep Helper rigctld"), false);
    m_bannerNote->serve(keep);
    connect(keep, &QPushButton::clicked, this, [this, keep] { answered(keep, dismissNudge()); });
    return bannerFrame(QStringLiteral("nativeRigControlNudge"), Tone::green, QStringLiteral("arrow.triangle.swap"),
                       QStringLiteral("Cordavelle can key Direwolf PTT directly now"),
                       nudgeText(m_context.rigControl.endpoints().constFirst().radioName), switchButton, keep);
}

QWidget *DirewolfPage::legacyBanner()
{
    auto *remove = pageButton(QStringLiteral("Remove Legacy Install"), true);
    connect(remove, &QPushButton::clicked, this, [this, remove] {
        const Alert confirm =
            legacyRemovalConfirmation(LegacyDirewolfCleanup::directorySize(places::legacyDirewolfFolder()));
        if (m_context.alerts.present(confirm, this) == 0) {
            removeLegacyInstall(remove);
        }
    });
    auto *notNow = pageButton(QStringLiteral("Not Now"), false);
    m_bannerNote->serve(notNow);
    connect(notNow, &QPushButton::clicked, this,
            [this, notNow] { answered(notNow, m_context.legacyCleanup.dismissPrompt()); });
    return bannerFrame(QStringLiteral("legacyCleanupBanner"), Tone::blue, QStringLiteral("externaldrive.badge.minus"),
                       QStringLiteral("Old Helper-managed Direwolf still on disk"),
                       legacyBannerText(LegacyDirewolfCleanup::directorySize(places::legacyDirewolfFolder())), remove,
                       notNow);
}

QCoro::Task<void> DirewolfPage::removeLegacyInstall(QPointer<QPushButton> button)
{
    QPointer<DirewolfPage> self(this);
    // Under way until the removal ends, and not asked for twice meanwhile.
    const QString label = button->text();
    button->setEnabled(false);
    button->setText(QStringLiteral("Removing..."));
    std::optional<QString> failure;
    try {
        co_await m_context.legacyCleanup.removeLegacyInstall();
    } catch (const std::exception &error) {
        failure = QString::fromUtf8(error.what());
    }
    if (!self) {
        co_return;
    }
    if (button) {
        button->setEnabled(true);
        button->setText(label);
    }
    if (failure) {
        m_context.alerts.present({Alert::Style::warning, QStringLiteral("Removal Failed"),
                                  QStringLiteral("Could not remove the legacy directory: ") + *failure,
                                  {QStringLiteral("OK")}},
                                 this);
    }
    if (self) {
        m_refresh->schedule();
    }
}

void DirewolfPage::refreshInstallation()
{
    const DirewolfConfig now = config();
    const tools::DirewolfLookup lookup = tools::lookUpDirewolf(now.direwolfPath);
    const InstallationFacts facts{now.direwolfPath,
                                  lookup.choice,
                                  m_context.discovery.brewPath(),
                                  m_aptGet,
                                  now.direwolfPath.isEmpty() ? std::nullopt
                                                             : programRefusal(QStringLiteral("Direwolf"), now.direwolfPath,
                                                                              places::direwolfRunFolder()),
                                  lookup.choice ? std::nullopt : lookup.passedOver};
    const Installation shown = installation(facts);
    // Made again only when it reads otherwise, as the Radio section's rows are.
    if (shown == m_shownInstallation) {
        return;
    }
    m_shownInstallation = shown;
    auto *column = static_cast<QVBoxLayout *>(m_installation->layout());
    clearRows(column);
    column->setSpacing(10);
    QLabel *heading = pageLabel(QStringLiteral("Installation"), Tone::secondary, textStyle::headline);
    heading->setPalette(palette());
    column->addWidget(heading);

    if (shown.view == Installation::View::installed) {
        auto *row = new QHBoxLayout;
        row->setSpacing(8);
        QLabel *mark = shown.legacy    ? symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), Tone::orange, 20)
                       : shown.refused ? symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), Tone::red, 20)
                                       : symbolLabel(QStringLiteral("checkmark.circle.fill"), Tone::green, 20);
        if (!shown.legacy && !shown.refused) {
            mark->setAccessibleName(QStringLiteral("Installed"));
        }
        row->addWidget(mark);
        auto *names = new QVBoxLayout;
        names->setSpacing(2);
        QLabel *title = pageLabel(shown.title, shown.titleTone);
        if (shown.accentTitle) {
            QPalette accent = title->palette();
            accent.setColor(QPalette::WindowText, palette().color(QPalette::Highlight));
            title->setPalette(accent);
        }
        title->setObjectName(QStringLiteral("installationTitle"));
        names->addWidget(title);
        QLabel *path = pageLabel(shown.path, Tone::secondary, textStyle::monospaced);
        path->setObjectName(QStringLiteral("installationPath"));
        path->setTextInteractionFlags(Qt::TextSelectableByMouse);
        names->addWidget(path);
        row->addLayout(names, 1);
        column->addLayout(row);
    }
    if (!shown.text.isEmpty()) {
        column->addWidget(pageLabel(shown.text, Tone::secondary, shown.legacy ? textStyle::caption : nullptr));
    }
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    for (const InstallButton &action : shown.commands) {
        QPushButton *b = pageButton(action.label, action.primary, action.help);
        const QString command = action.command;
        connect(b, &QPushButton::clicked, this, [this, command] { m_context.discovery.runInTerminal(command); });
        buttons->addWidget(b);
    }
    QPushButton *custom = pageButton(QStringLiteral("Choose Custom…"), false, shown.chooseCustomHelp);
    m_installationNote->serve(custom);
    connect(custom, &QPushButton::clicked, this, [this] { chooseCustomBinary(); });
    buttons->addWidget(custom);
    if (shown.resetToAuto) {
        QPushButton *reset = pageButton(QStringLiteral("Reset to Auto"), false,
                                    QStringLiteral("Clear the custom path and let the Helper auto-discover Direwolf "
                                                   "again."));
        m_installationNote->serve(reset);
        connect(reset, &QPushButton::clicked, this,
                [this, reset] { answered(reset, edit([](DirewolfConfig &c) { c.direwolfPath.clear(); })); });
        buttons->addWidget(reset);
    }
    buttons->addStretch();
    column->addLayout(buttons);
    if (shown.caption) {
        column->addWidget(pageLabel(*shown.caption, Tone::tertiary, textStyle::caption));
    }
}

void DirewolfPage::chooseCustomBinary()
{
    const DirewolfConfig now = config();
    const QString chosen = chooseUsableProgram(
        m_context.surroundings, m_context.alerts, this, QStringLiteral("Direwolf"), QStringLiteral("Choose a direwolf binary"),
        QStringLiteral("Pick the direwolf executable the Helper should launch."),
        binaryPickerFolder(tools::resolveDirewolf(now.direwolfPath)), places::direwolfRunFolder());
    if (!chosen.isEmpty()) {
        m_installationNote->answer(edit([&](DirewolfConfig &c) { c.direwolfPath = chosen; }), [this] { refresh(); });
    }
}

} // namespace cordavelle
