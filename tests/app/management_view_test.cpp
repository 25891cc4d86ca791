#include "app/clients_page.h"
#include "app/content_placeholder.h"
#include "app/management_view.h"
#include "app/sidebar.h"
#include "base/helper_places.h"

#include "support/task_outcome.h"
#include "support/event_wait.h"
#include "support/helper_objects.h"
#include "support/qt_printers.h"
#include "support/scripted_alert_presenter.h"
#include "support/test_files.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <chrono>

namespace cordavelle {
namespace {

using namespace std::chrono_literals;

std::vector<SidebarSection> sectionsOf(const SidebarGroup &group)
{
    std::vector<SidebarSection> sections;
    for (const SidebarRow &row : group.rows) {
        sections.push_back(row.section);
    }
    return sections;
}

const SidebarRow &rowOf(const std::vector<SidebarGroup> &groups, SidebarSection section)
{
    for (const SidebarGroup &group : groups) {
        for (const SidebarRow &row : group.rows) {
            if (row.section == section) {
                return row;
            }
        }
    }
    throw std::out_of_range("no such row");
}

TEST(Sidebar, ThreeGroupsWithEveryRowOnce)
{
    const auto groups = sidebarModel({});
    ASSERT_EQ(groups.size(), 3u);
    EXPECT_EQ(groups[0].title, "Modems");
    EXPECT_EQ(sectionsOf(groups[0]), std::vector({SidebarSection::varaHF, SidebarSection::varaFM, SidebarSection::direwolf}));
    EXPECT_EQ(groups[1].title, "Radio Control");
    EXPECT_EQ(sectionsOf(groups[1]), std::vector({SidebarSection::rigctld}));
    EXPECT_EQ(groups[2].title, "Management");
    EXPECT_EQ(sectionsOf(groups[2]), std::vector({SidebarSection::clients, SidebarSection::setup}));
    EXPECT_EQ(rowOf(groups, SidebarSection::varaFM).title, "VARA FM");
    EXPECT_EQ(fromRaw<SidebarSection>("Clients"), SidebarSection::clients);
    EXPECT_EQ(fromRaw<SidebarSection>("clients"), std::nullopt);
}

TEST(Sidebar, DotsFollowTheStateUnlessTheServiceIsDisabled)
{
    SidebarInputs inputs;
    inputs.states = {{ServiceID::varaHF, ServiceRunState::starting},
                     {ServiceID::varaFM, ServiceRunState::stopping},
                     {ServiceID::rigctld, ServiceRunState::error},
                     {ServiceID::direwolf, ServiceRunState::running}};
    inputs.modes = {{ServiceID::direwolf, ServiceLifecycleMode::disabled},
                    {ServiceID::rigctld, ServiceLifecycleMode::alwaysOn}};
    const auto groups = sidebarModel(inputs);
    EXPECT_EQ(rowOf(groups, SidebarSection::varaHF).dot, Tone::yellow);
    EXPECT_EQ(rowOf(groups, SidebarSection::varaFM).dot, Tone::yellow);
    EXPECT_EQ(rowOf(groups, SidebarSection::rigctld).dot, Tone::red);
    // Disabled wins over the process state, also while it runs.
    EXPECT_TRUE(rowOf(groups, SidebarSection::direwolf).disabled);
    EXPECT_FALSE(rowOf(groups, SidebarSection::direwolf).dot);
    EXPECT_FALSE(rowOf(groups, SidebarSection::rigctld).disabled);

    inputs.states[ServiceID::varaHF] = ServiceRunState::running;
    inputs.states[ServiceID::varaFM] = ServiceRunState::stopped;
    EXPECT_EQ(rowOf(sidebarModel(inputs), SidebarSection::varaHF).dot, Tone::green);
    EXPECT_EQ(rowOf(sidebarModel(inputs), SidebarSection::varaFM).dot, Tone::gray);
}

TEST(Sidebar, BadgesForPairingRequestsAndUpdates)
{
    SidebarInputs inputs;
    auto groups = sidebarModel(inputs);
    EXPECT_EQ(rowOf(groups, SidebarSection::clients).badge, "");
    EXPECT_EQ(rowOf(groups, SidebarSection::setup).badge, "");
    EXPECT_EQ(rowOf(groups, SidebarSection::setup).badgeTooltip, "");

    inputs.pendingPairings = 3;
    inputs.pendingUpdates = {{"Wine", "9.0", "10.0"}, {"Hamlib", "4.5.5", "4.6"}};
    groups = sidebarModel(inputs);
    EXPECT_EQ(rowOf(groups, SidebarSection::clients).badge, "3");
    EXPECT_EQ(rowOf(groups, SidebarSection::clients).badgeTone, Tone::orange);
    const SidebarRow &setup = rowOf(groups, SidebarSection::setup);
    EXPECT_EQ(setup.badge, "2");
    EXPECT_EQ(setup.badgeTone, Tone::blue);
    EXPECT_EQ(setup.badgeTooltip, QString::fromUtf8("Update available: Wine 9.0 \u2192 10.0, Hamlib 4.5.5 \u2192 4.6"));
}

TEST(Sidebar, SetupProgressCountsTheInstalledTools)
{
    test::TestPlatform env;
    EXPECT_EQ(setupProgress(SetupChecks::current()), "0/5");

    // Wine found only where Homebrew puts it counts.
    test::writeProgram(env.hostPath("/usr/local/bin/wine"));
    // A prefix whose system folder is there but lacks the runtime does not count.
    const QString windows = places::winePrefix() + "/drive_c/windows/";
    QDir().mkpath(windows + "system32");
    test::writeFile(windows + "system32/pdh.dll", "MZ");
    SetupChecks checks = SetupChecks::current();
    EXPECT_TRUE(checks.wine);
    EXPECT_FALSE(checks.winePrefix);
    EXPECT_EQ(setupProgress(checks), "1/5");

    // The runtime may lie in the 64-bit system folder.
    QDir().mkpath(windows + "syswow64");
    test::writeFile(windows + "syswow64/msvbvm60.dll", "MZ");
    for (VARAVariant variant : {VARAVariant::hf, VARAVariant::fm}) {
        test::writeProgram(places::winePrefix() + "/drive_c/" + installDirName(variant) + "/" + exeName(variant));
    }
    test::writeProgram(env.hostPath("/usr/bin/rigctld"));
    checks = SetupChecks::current();
    EXPECT_TRUE(checks.winePrefix);
    EXPECT_EQ(setupProgress(checks), QString::fromUtf8("\u2713"));
}

class ManagementViewTest : public ::testing::Test, protected test::HelperObjects {};

TEST_F(ManagementViewTest, SelectionRoutesToTheSectionsPage)
{
    ManagementView view(orchestrator, config, pairing);
    std::vector<SidebarSection> built;
    for (SidebarSection section : allCases<SidebarSection>()) {
        if (section != SidebarSection::clients) {
            view.setPageFactory(section, [section, &built](ManagementView &) {
                built.push_back(section);
                auto *page = new QLabel(toRaw(section));
                page->setObjectName("page");
                return page;
            });
        }
    }
    // VARA HF at first; its page built once when its factory came.
    EXPECT_EQ(view.selectedSection(), SidebarSection::varaHF);
    EXPECT_EQ(view.sidebar()->selectedSection(), SidebarSection::varaHF);
    EXPECT_EQ(built, std::vector({SidebarSection::varaHF}));

    // A click in the sidebar builds the page afresh, also when it was shown before.
    view.sidebar()->select(SidebarSection::rigctld);
    Q_EMIT view.sidebar()->sectionSelected(SidebarSection::rigctld);
    EXPECT_EQ(static_cast<QLabel *>(view.page())->text(), "rigctld");
    view.setSelectedSection(SidebarSection::varaHF);
    EXPECT_EQ(built, std::vector({SidebarSection::varaHF, SidebarSection::rigctld, SidebarSection::varaHF}));

    // A page may send the window elsewhere, as the checklist does; the sidebar follows.
    view.setSelectedSection(SidebarSection::setup);
    view.setSelectedSection(SidebarSection::varaFM);
    EXPECT_EQ(view.sidebar()->selectedSection(), SidebarSection::varaFM);

    // A section without its page yet, and no section at all.
    view.setSelectedSection(SidebarSection::clients);
    auto *placeholder = qobject_cast<ContentPlaceholder *>(view.page());
    ASSERT_NE(placeholder, nullptr);
    EXPECT_EQ(placeholder->title(), "Clients");
    view.setSelectedSection(std::nullopt);
    placeholder = qobject_cast<ContentPlaceholder *>(view.page());
    ASSERT_NE(placeholder, nullptr);
    EXPECT_EQ(placeholder->title(), "Select a Section");
    EXPECT_EQ(view.sidebar()->selectedSection(), std::nullopt);
    ASSERT_TRUE(test::processEventsUntil([&] { return view.findChildren<QLabel *>("page").isEmpty(); }));
    EXPECT_EQ(view.findChildren<QLabel *>("page").size(), 0);
}

// A client may send a host name of 255 bytes: cut in the middle on the Clients page, it leaves
// Accept, Deny and Remove in the window at its smallest, and the whole name is still there for
// the pointer and for assistive technology, as the client wrote it: markup shows as typed, and a
// character outside the basic plane across a line's end of the tooltip stays whole.
TEST_F(ManagementViewTest, TheLongestClientNameLeavesTheClientsPageButtonsInTheWindow)
{
    const QString name = QStringLiteral("<b>shack</b>&amp;-") + QString(45, QLatin1Char('w'))
                         + QString::fromUtf8("\U0001F4E1") + QString(183, QLatin1Char('w')) + QStringLiteral(".home");
    ASSERT_EQ(name.toUtf8().size(), 255);
    ASSERT_TRUE(name.at(63).isHighSurrogate());
    test::runToEnd(pairing.requestPairing("paired", name, "macOS", ""));
    pairing.approve("paired");
    test::runToEnd(pairing.requestPairing("waiting", name, "Linux", ""));
    test::ScriptedAlertPresenter alerts;
    ManagementView view(orchestrator, config, pairing);
    view.setPageFactory(SidebarSection::clients,
                        [&](ManagementView &) { return new ClientsPage(pairing, env.clock(), alerts); });
    view.setSelectedSection(SidebarSection::clients);
    // The window's smallest width, at the height it opens with.
    view.resize(view.minimumSizeHint().width(), 550);
    view.show();
    ASSERT_TRUE(test::processEventsUntil([&] { return view.findChildren<QPushButton *>().size() == 3; }));

    EXPECT_LE(view.width(), 800) << "the window opens 800 wide";
    for (QPushButton *button : view.findChildren<QPushButton *>()) {
        SCOPED_TRACE(button->text().toStdString());
        EXPECT_TRUE(button->isVisible());
        const QRect where(button->mapTo(&view, QPoint(0, 0)), button->size());
        EXPECT_TRUE(view.rect().contains(where)) << where.x() << " + " << where.width() << " in " << view.width();
    }
    int names = 0;
    QStringList platforms;
    for (QLabel *label : view.findChildren<QLabel *>()) {
        if (label->accessibleDescription() == name) {
            ++names;
            EXPECT_LT(label->text().size(), name.size());
            EXPECT_TRUE(label->text().contains(QChar(0x2026)));
            // In lines, so that the tooltip stays on the screen.
            QTextDocument tip;
            tip.setHtml(label->toolTip());
            const QStringList lines = tip.toPlainText().replace(QChar::LineSeparator, QLatin1Char('\n')).split('\n');
            EXPECT_EQ(lines.join(QString()), name);
            EXPECT_EQ(lines.size(), 4);
            for (const QString &line : lines) {
                EXPECT_TRUE(QStringView(line).isValidUtf16()) << line.toStdString();
            }
        } else if (label->text().startsWith('(')) {
            platforms << label->text();
        }
    }
    EXPECT_EQ(names, 2);
    // The name gives way, not the platform beside it.
    EXPECT_EQ(platforms, (QStringList{"(macOS)", "(Linux)"}));

    // Once more rows than the window's height take are listed, the list's scroll bar stands
    // beside the buttons, not over them.
    for (int i = 0; i < 10; ++i) {
        test::runToEnd(pairing.requestPairing(QStringLiteral("more-%1").arg(i), name, "Linux", ""));
    }
    const auto listOf = [](const QWidget *button) {
        const QScrollArea *list = nullptr;
        for (const QWidget *parent = button->parentWidget(); parent && !list; parent = parent->parentWidget()) {
            list = qobject_cast<const QScrollArea *>(parent);
        }
        return list;
    };
    ASSERT_TRUE(test::processEventsUntil([&] {
        const QList<QPushButton *> buttons = view.findChildren<QPushButton *>();
        return buttons.size() == 23 && listOf(buttons.front()) && listOf(buttons.front())->verticalScrollBar()->isVisible();
    }));
    const QScrollArea *list = listOf(view.findChildren<QPushButton *>().front());
    EXPECT_LE(list->widget()->width(), list->viewport()->width()) << "no part of a row is under the scroll bar";
    for (QPushButton *button : view.findChildren<QPushButton *>()) {
        SCOPED_TRACE(button->text().toStdString());
        ASSERT_EQ(listOf(button), list);
        const QRect where(button->mapTo(list->viewport(), QPoint(0, 0)), button->size());
        EXPECT_GE(where.left(), 0);
        EXPECT_LE(where.right(), list->viewport()->width() - 1) << "the viewport is " << list->viewport()->width() << " wide";
    }
}

// A screen reader selects a row through the row's own toggle action, not with a click; the arrow
// keys go on from there.
TEST_F(ManagementViewTest, AssistiveTechnologyAndArrowKeysSelectRows)
{
    ManagementView view(orchestrator, config, pairing);
    view.show();
    QAccessibleInterface *tree = QAccessible::queryAccessibleInterface(view.sidebar());
    ASSERT_NE(tree, nullptr);
    const auto toggle = [&](SidebarSection section) {
        const QString title = view.sidebar()->row(section)->title;
        QAccessibleInterface *cell = nullptr;
        for (int i = 0; i < tree->childCount(); ++i) {
            QAccessibleInterface *child = tree->child(i);
            cell = child && child->text(QAccessible::Name).startsWith(title) ? child : cell;
        }
        ASSERT_TRUE(cell && cell->actionInterface()) << title.toStdString();
        cell->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    };
    for (SidebarSection section : allCases<SidebarSection>()) {
        toggle(section);
        EXPECT_EQ(view.selectedSection(), section) << toRaw(section).toStdString();
    }

    toggle(SidebarSection::direwolf);
    for (const auto &[key, section] : std::vector<std::pair<Qt::Key, SidebarSection>>{
             {Qt::Key_Down, SidebarSection::rigctld}, {Qt::Key_Down, SidebarSection::clients},
             {Qt::Key_Up, SidebarSection::rigctld}, {Qt::Key_Home, SidebarSection::varaHF},
             {Qt::Key_Up, SidebarSection::varaHF}}) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(view.sidebar(), &press);
        EXPECT_EQ(view.selectedSection(), section) << key;
    }
}

TEST_F(ManagementViewTest, MarksFollowTheModelsOncePerTurn)
{
    ManagementView view(orchestrator, config, pairing);
    EXPECT_EQ(view.sidebar()->groupTitles(), QStringList({"Modems", "Radio Control", "Management"}));
    EXPECT_EQ(view.sidebar()->row(SidebarSection::clients)->badge, "");

    RigctldConfig rig = config.rigctldConfig();
    rig.lifecycleMode = ServiceLifecycleMode::disabled;
    config.setRigctldConfig(rig);
    test::runToEnd(pairing.requestPairing("laptop-id", "laptop", "Linux", "192.168.1.20"));
    view.setPendingUpdates({{"Wine", "9.0", "10.0"}});
    // Nothing changes on screen within the turn that changed the models.
    EXPECT_FALSE(view.sidebar()->row(SidebarSection::rigctld)->disabled);
    ASSERT_TRUE(test::processEventsUntil([&] { return view.sidebar()->row(SidebarSection::rigctld)->disabled; }));
    EXPECT_TRUE(view.sidebar()->row(SidebarSection::rigctld)->disabled);
    EXPECT_EQ(view.sidebar()->row(SidebarSection::clients)->badge, "1");
    EXPECT_EQ(view.sidebar()->row(SidebarSection::setup)->badge, "1");
    EXPECT_EQ(view.sidebar()->row(SidebarSection::setup)->trailing, "0/5");

    // A start that threw leaves VARA stopped; its dot reads the failure as the tray and the
    // page header do.
    orchestrator.process(ServiceID::varaHF).setStartError(QStringLiteral("VARA HF not installed"));
    ASSERT_TRUE(test::processEventsUntil([&] { return view.sidebar()->row(SidebarSection::varaHF)->dot == Tone::red; }));
    EXPECT_EQ(view.sidebar()->row(SidebarSection::varaHF)->dotMeaning, "Error");
}

} // namespace
} // namespace cordavelle
