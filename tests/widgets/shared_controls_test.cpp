#include "widgets/accent_style.h"
#include "widgets/alert_presenter.h"
#include "widgets/status_look.h"
#include "base/service_model.h"
#include "widgets/form_parts.h"
#include "widgets/input_rules.h"
#include "widgets/lifecycle_picker.h"
#include "widgets/log_viewer.h"
#include "widgets/port_field.h"
#include "widgets/screen_fit.h"

#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QSpinBox>
#include <QWheelEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include "support/event_wait.h"
#include "support/test_platform.h"

#include <gtest/gtest.h>

#include <optional>

namespace cordavelle {
namespace {

TEST(AccentStyle, FillIsFaintWhileDisabledAndLighterOnlyWhilePressed)
{
    EXPECT_EQ(accentFillOpacity(true, false), 1.0);
    EXPECT_EQ(accentFillOpacity(true, true), 0.7);
    EXPECT_EQ(accentFillOpacity(false, false), 0.4);
    EXPECT_EQ(accentFillOpacity(false, true), 0.4);

    // The button follows its label: a longer label widens it.
    EXPECT_GT(AccentButton("Reset All Configurations").sizeHint().width(), AccentButton("Stop").sizeHint().width());
}

TEST(WheelRule, FieldsTakeTheWheelOnlyOnceFocused)
{
    installWheelRule(*QCoreApplication::instance());
    installWheelRule(*QCoreApplication::instance());
    QWidget window;
    auto *elsewhere = new QLineEdit(&window); // where the window's focus starts
    auto *combo = new QComboBox(&window);
    combo->addItems({"0 (none)", "1", "2"});
    auto *spin = new QSpinBox(&window);
    spin->setValue(5);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(test::processEventsUntil([&] { return elsewhere->hasFocus(); }));
    const auto turnDown = [](QWidget *field) {
        QWheelEvent event(QPointF(4, 4), field->mapToGlobal(QPointF(4, 4)), {}, QPoint(0, -120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(field, &event);
    };

    for (QWidget *field : std::initializer_list<QWidget *>{combo, spin}) {
        turnDown(field);
        EXPECT_EQ(field->focusPolicy(), Qt::StrongFocus) << "pointing the wheel must not focus it";
    }
    EXPECT_EQ(combo->currentIndex(), 0);
    EXPECT_EQ(spin->value(), 5);

    combo->setFocus();
    ASSERT_TRUE(test::processEventsUntil([&] { return combo->hasFocus(); }));
    turnDown(combo);
    EXPECT_EQ(combo->currentIndex(), 1);
    spin->setFocus();
    ASSERT_TRUE(test::processEventsUntil([&] { return spin->hasFocus(); }));
    turnDown(spin);
    EXPECT_EQ(spin->value(), 4);
}

TEST(AlertPresenter, OpensAboveTheWindowTheUserCanReach)
{
    QWidget main;
    QWidget settings;
    main.show();
    settings.show();
    QDialog wizard(&main);
    wizard.setWindowModality(Qt::WindowModal);
    wizard.show();
    // Beside a wizard that holds the main window, the settings window keeps its own alerts.
    QApplication::setActiveWindow(&settings);
    EXPECT_EQ(MessageBoxAlertPresenter::windowInFront(), &settings);
    QApplication::setActiveWindow(&main);
    EXPECT_EQ(MessageBoxAlertPresenter::windowInFront(), &wizard);
    QApplication::setActiveWindow(nullptr);
    EXPECT_EQ(MessageBoxAlertPresenter::windowInFront(), &wizard);
    wizard.setWindowModality(Qt::ApplicationModal);
    QApplication::setActiveWindow(&settings);
    EXPECT_EQ(MessageBoxAlertPresenter::windowInFront(), &wizard);

    // An alert that names its window opens over it while it is shown, whatever is active.
    wizard.hide();
    auto *field = new QLineEdit(&settings);
    QApplication::setActiveWindow(&main);
    EXPECT_EQ(MessageBoxAlertPresenter::ownerFor(field), &settings);
    settings.hide();
    EXPECT_EQ(MessageBoxAlertPresenter::ownerFor(field), &main);
    // With nothing active, never over the tray icon's window, which sits in the screen's corner.
    QWidget trayIcon(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
    trayIcon.show();
    QApplication::setActiveWindow(nullptr);
    EXPECT_EQ(MessageBoxAlertPresenter::ownerFor(nullptr), &main);
}

// The window under an alert, or the widget that asked, may go while the alert's loop runs (a
// wizard's Done pressed through the accessibility bus reaches it past the modal box): the alert
// goes with it, counts as dismissed and says so, and nothing freed is read.
TEST(AlertPresenter, AnAlertWhoseWindowWentCountsAsDismissed)
{
    test::TestPlatform env;
    const Alert alert{Alert::Style::critical, "API Server Failed to Start", "Port 8380 is taken.", {"Open Settings", "Quit"}};
    enum class Goes { nothing, windowUnderIt, askingWidget };
    const struct {
        const char *what;
        Goes goes;
        int answer;
    } cases[] = {
        {"answered: the button chosen", Goes::nothing, 0},
        {"the wizard under it accepted, closed and deleted", Goes::windowUnderIt, -1},
        {"the page that asked deleted, its window kept", Goes::askingWidget, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        QWidget main;
        main.show();
        auto *page = new QWidget(&main);
        auto *wizard = new QDialog(&main);
        wizard->setAttribute(Qt::WA_DeleteOnClose);
        wizard->setWindowModality(Qt::WindowModal);
        QPointer<QDialog> wizardLeft(wizard);
        if (c.goes == Goes::windowUnderIt) {
            wizard->open();
            ASSERT_EQ(MessageBoxAlertPresenter::ownerFor(nullptr), wizard);
        }
        // Runs inside the alert's own loop, once the box is up.
        QTimer::singleShot(0, &main, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            switch (c.goes) {
            case Goes::nothing: box->buttons().constFirst()->click(); break;
            case Goes::windowUnderIt: wizard->accept(); break;
            case Goes::askingWidget: delete page; break;
            }
        });
        env.log().entries.clear();
        MessageBoxAlertPresenter alerts;
        EXPECT_EQ(alerts.present(alert, c.goes == Goes::windowUnderIt ? nullptr : page), c.answer);
        EXPECT_EQ(env.log().contains(R"(The alert "API Server Failed to Start" was dismissed: the window it belonged to went)"),
                  c.answer == -1);
        EXPECT_EQ(main.findChild<QMessageBox *>(), nullptr) << "the box outlived its question";
        EXPECT_EQ(wizardLeft.isNull(), c.goes == Goes::windowUnderIt);
    }
}

// The sidebar, the pages and the wizard tell the services apart by their icons.
// Windows open within the screen less its panels, frame included: a 1000 px high screen with a
// 24 px panel on top holds the 720 px settings window whole.
TEST(ScreenFit, WindowsOpenWholeOnTheScreen)
{
    const QRect screen(0, 24, 1280, 976);
    const QMargins frame(4, 30, 4, 4);
    const struct {
        const char *what;
        QSize size, minimum;
        std::optional<QRect> over;
        QRect placed;
    } cases[] = {
        {"fits: centred on the screen", {480, 720}, {}, std::nullopt, {400, 165, 480, 720}},
        {"over a window near the bottom: pulled up", {480, 720}, {}, QRect(200, 600, 800, 550), {360, 276, 480, 720}},
        {"over a window near the left: pulled right", {420, 620}, {}, QRect(-300, 100, 400, 400), {4, 54, 420, 620}},
        {"taller than the screen: shrunk to it", {480, 1200}, {}, std::nullopt, {400, 54, 480, 942}},
        {"its minimum taller than the screen: title bar kept on it", {700, 1100}, {700, 1100}, std::nullopt,
         {290, 54, 700, 1100}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(placedWithin(screen, c.size, c.minimum, c.over, frame), c.placed) << c.what;
    }
}

// The tray takes its icon's window into a slot of its own: moved as a window, it left the slot's
// view.
TEST(ScreenFit, LeavesTheTrayIconsWindowWhereItIs)
{
    installScreenFitRule(*QCoreApplication::instance());
    QWidget trayIcon(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint);
    trayIcon.setGeometry(0, 0, 22, 22);
    QWidget window;
    window.setGeometry(0, 0, 300, 200);
    trayIcon.show();
    window.show();
    EXPECT_EQ(trayIcon.pos(), QPoint(0, 0));
    EXPECT_NE(window.pos(), QPoint(0, 0)) << "a titled window is still placed";
}

TEST(SymbolIcon, EachServiceDrawsAnIconOfItsOwn)
{
    std::vector<QImage> drawn;
    for (ServiceID id : allCases<ServiceID>()) {
        const QImage image = symbolIcon(systemImage(id)).pixmap(32, 32).toImage();
        EXPECT_FALSE(image.isNull()) << systemImage(id).toStdString();
        EXPECT_EQ(std::ranges::count(drawn, image), 0) << systemImage(id).toStdString();
        drawn.push_back(image);
    }
}

TEST(PortField, StoresOnlyOnCommitAndPutsTheStoredPortBackOverARefusedOne)
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    QWidget window;
    QList<int> stored;
    std::optional<QString> storeRefusal;
    auto *field = new PortField("API Port", 8380,
                                [&](int port) {
                                    if (!storeRefusal) {
                                        stored << port;
                                    }
                                    return storeRefusal;
                                },
                                &window);
    auto *elsewhere = new QLineEdit(&window);
    QLocale::setDefault(previous);
    EXPECT_EQ(field->lineEdit()->text(), "8380");
    const auto type = [&](const QString &text) {
        field->lineEdit()->setText(text);
        Q_EMIT field->lineEdit()->textEdited(text);
    };
    const auto reason = [&] { return field->problemLabel()->isHidden() ? QString() : field->problemLabel()->text(); };
    const auto leave = [&] {
        elsewhere->setFocus();
        QCoreApplication::processEvents();
    };
    window.show();
    QApplication::setActiveWindow(&window);
    const QString notAPort = "Enter a whole number from 1 to 65535. The port stays as it was.";

    // Nothing on the way to the port; Return stores it once.
    field->lineEdit()->setFocus();
    for (const char *typed : {"7", "70", "700", "7000"}) {
        type(typed);
    }
    EXPECT_TRUE(stored.isEmpty());
    Q_EMIT field->lineEdit()->returnPressed();
    EXPECT_EQ(stored, QList<int>{7000});
    Q_EMIT field->lineEdit()->returnPressed();
    EXPECT_EQ(stored, QList<int>{7000}) << "the same port again is no change";

    // A fifth digit past 65535 is flagged at once; Return puts the stored port back and the
    // reason stays, also once the focus leaves, until the next edit.
    type("70000");
    EXPECT_EQ(reason(), notAPort);
    Q_EMIT field->lineEdit()->returnPressed();
    EXPECT_EQ(field->lineEdit()->text(), "7000");
    EXPECT_EQ(reason(), notAPort);
    leave();
    EXPECT_EQ(field->lineEdit()->text(), "7000");
    EXPECT_EQ(reason(), notAPort);
    field->lineEdit()->setFocus();
    type("45");
    EXPECT_EQ(reason(), QString());

    // Leaving with a valid port stores it; leaving with text that is no port puts the stored one
    // back with the reason; an emptied field just goes back.
    type(" 4533 ");
    leave();
    EXPECT_EQ(stored, (QList<int>{7000, 4533}));
    EXPECT_EQ(field->lineEdit()->text(), "4533");
    field->lineEdit()->setFocus();
    type("port");
    leave();
    EXPECT_EQ(field->lineEdit()->text(), "4533");
    EXPECT_EQ(reason(), notAPort);
    field->lineEdit()->setFocus();
    type("");
    Q_EMIT field->lineEdit()->returnPressed();
    EXPECT_EQ(field->lineEdit()->text(), "4533");
    EXPECT_EQ(reason(), QString());

    // A port the store refuses is not shown as if kept: the stored one comes back with the reason.
    storeRefusal = "The settings file can't be written: disk full";
    type("4600");
    Q_EMIT field->lineEdit()->returnPressed();
    EXPECT_EQ(field->lineEdit()->text(), "4533");
    EXPECT_EQ(field->port(), 4533);
    EXPECT_EQ(reason(), *storeRefusal + ". The port stays as it was.");
    storeRefusal.reset();

    // The stored port is shown without being stored again, but never over the user's typing; a
    // port stored from elsewhere answers a reason still shown.
    leave();
    field->setPort(8001);
    EXPECT_EQ(field->lineEdit()->text(), "8001");
    EXPECT_EQ(reason(), QString());
    field->lineEdit()->setFocus();
    type("80");
    field->setPort(8002);
    EXPECT_EQ(field->lineEdit()->text(), "80");
    EXPECT_EQ(stored.size(), 2);
}

TEST(ShownWords, MarkupIsReadAsTheWordsItShows)
{
    struct Case {
        const char *text;
        Qt::TextFormat format;
        const char *read;
    };
    const Case cases[] = {
        {"**Audio devices** are selected inside VARA HF itself.  Start it, then open **Setup → Sound Card**.",
         Qt::MarkdownText, "Audio devices are selected inside VARA HF itself.  Start it, then open Setup → Sound Card."},
        {"**Workaround:** run (`pactl load-module x`), then pick \"IC-7600-Audio\".", Qt::MarkdownText,
         "Workaround: run (pactl load-module x), then pick \"IC-7600-Audio\"."},
        {"<b>To populate this picker</b>, open it &amp; wait.&nbsp; Then go.", Qt::RichText,
         "To populate this picker, open it & wait.  Then go."},
        {"<b>bold</b> guessed as HTML", Qt::AutoText, "bold guessed as HTML"},
        // Plain text is read as it stands, asterisks and all, as it is shown.
        {"**not bold** a < b", Qt::PlainText, "**not bold** a < b"},
        {"5 * 3 and 2 * 4", Qt::AutoText, "5 * 3 and 2 * 4"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(shownWords(QString::fromUtf8(c.text), c.format), QString::fromUtf8(c.read)) << c.text;
    }

    QLabel label;
    setMarkedUpText(&label, "**Bold** and `code`", Qt::MarkdownText);
    EXPECT_EQ(label.textFormat(), Qt::MarkdownText);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&label)->text(QAccessible::Name), "Bold and code");

    // A help text is read without the marks that set its command apart.
    QPushButton button("Check for Update");
    setHelpText(&button, "Opens a terminal to run `sudo apt-get install --only-upgrade direwolf`.");
    EXPECT_EQ(button.toolTip(), "Opens a terminal to run `sudo apt-get install --only-upgrade direwolf`.");
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&button)->text(QAccessible::Description),
              "Opens a terminal to run sudo apt-get install --only-upgrade direwolf.");
}

TEST(MiddleElidedLabel, BreaksOnlyAtSpacesAndCutsTheMiddleOfWhatDoesNotFit)
{
    QWidget window;
    auto *label = new MiddleElidedLabel(2, &window);
    const QString command = "'/home/ann/My Tools/direwolf' -c '/home/ann/.local/share/Cordavelle Helper/direwolf.conf' -t 0";
    label->setFullText(command);
    window.show();
    const int whole = label->fontMetrics().horizontalAdvance(command);
    for (const int width : {whole + 10, whole * 3 / 4, whole / 3}) {
        SCOPED_TRACE(width);
        label->setFixedWidth(width);
        QCoreApplication::processEvents();
        const QStringList lines = label->text().split('\n');
        ASSERT_LE(lines.size(), 2);
        for (const QString &line : lines) {
            EXPECT_LE(label->fontMetrics().horizontalAdvance(line), width) << line.toStdString();
        }
        if (width > whole / 2) {
            EXPECT_EQ(lines.join(' '), command) << "broken at a space, nothing lost";
        } else {
            EXPECT_TRUE(label->text().contains(QChar(0x2026)));
            EXPECT_TRUE(lines.first().startsWith("'/home/ann/My")) << lines.first().toStdString();
        }
    }
}

TEST(LifecyclePicker, ReportsOnlyTheUsersChoiceAndExplainsIt)
{
    LifecyclePicker picker(ServiceLifecycleMode::onDemand);
    QList<ServiceLifecycleMode> reported;
    QObject::connect(&picker, &LifecyclePicker::modeActivated, [&](ServiceLifecycleMode m) { reported << m; });

    picker.setMode(ServiceLifecycleMode::disabled);
    EXPECT_EQ(picker.caption(), "Service will not be started.");
    EXPECT_TRUE(reported.isEmpty());

    const auto buttons = picker.findChildren<QPushButton *>();
    ASSERT_EQ(buttons.size(), 3);
    EXPECT_EQ(buttons[1]->text(), "Always On");
    buttons[1]->click();
    EXPECT_EQ(reported, QList<ServiceLifecycleMode>({ServiceLifecycleMode::alwaysOn}));
    EXPECT_EQ(picker.caption(), "Launched at app start and kept running. Auto-restarts on crash.");
    EXPECT_TRUE(buttons[1]->isChecked());
    EXPECT_FALSE(buttons[2]->isChecked());
}

TEST(LogViewer, CountCopyTextAndScrollRule)
{
    EXPECT_EQ(logLineCountText(0), "0 lines");
    EXPECT_EQ(logLineCountText(1), "1 lines");
    EXPECT_EQ(logLineCountText(12345), "12345 lines");
    EXPECT_EQ(logCopyText({"a", "b", "c"}), "a\nb\nc");
    EXPECT_EQ(logCopyText({}), "");

    EXPECT_EQ(logScrollTarget(3, 4), 3);
    EXPECT_EQ(logScrollTarget(500, 1), 0);
    EXPECT_EQ(logScrollTarget(0, 1), 0);
    // A list replaced by one of the same length, or emptied, does not scroll.
    EXPECT_EQ(logScrollTarget(4, 4), std::nullopt);
    EXPECT_EQ(logScrollTarget(4, 0), std::nullopt);
}

// What a screen reader reads of the log is what is drawn: a program's stray NUL (rigctld ends
// "last_cmd=" with one) would end the text it is handed there, and the lines after it with it.
TEST(LogViewer, AssistiveTechnologyReadsEveryLineShown)
{
    EXPECT_EQ(logShownLine(QString::fromUtf8("last_cmd=\0\x1b[0m\tdone\x7f", 20)),
              QString::fromUtf8("last_cmd=\u2400\u241b[0m\tdone\u2421"));
    LogViewer viewer;
    viewer.setExpanded(true);
    QStringList lines{QStringLiteral("rigctld started")};
    viewer.setLogLines(lines);
    lines << QString::fromUtf8("rigctl_parse: nothing to scan#1? retcode=-1, last_cmd=\0", 55)
          << QStringLiteral("Connection closed from 127.0.0.1:51142");
    viewer.setLogLines(lines);
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(viewer.lines());
    ASSERT_TRUE(face && face->textInterface());
    const QString read = face->textInterface()->text(0, face->textInterface()->characterCount());
    EXPECT_FALSE(read.contains(QChar(0)));
    EXPECT_TRUE(read.endsWith(QString::fromUtf8("last_cmd=\u2400\nConnection closed from 127.0.0.1:51142")))
        << read.toStdString();
    EXPECT_EQ(logCopyText(viewer.logLines()), logCopyText(lines)) << "the copy keeps the program's own text";
}

TEST(LogViewer, ButtonsPlaceholderAndFollowingTheEnd)
{
    bool cleared = false;
    LogViewer withClear([&] { cleared = true; });
    LogViewer withoutClear;
    withClear.show();
    withoutClear.show();

    // Empty and collapsed: the label and the count only; expanded: the placeholder.
    EXPECT_FALSE(withClear.isExpanded());
    EXPECT_EQ(withClear.countLabel()->text(), "0 lines");
    EXPECT_FALSE(withClear.copyButton()->isVisible());
    EXPECT_FALSE(withClear.clearButton()->isVisible());
    withClear.setExpanded(true);
    EXPECT_TRUE(withClear.placeholder()->isVisible());
    EXPECT_FALSE(withClear.lines()->isVisible());

    QStringList lines;
    for (int i = 0; i < 100; ++i) {
        lines << QStringLiteral("line %1").arg(i);
    }
    withoutClear.setLogLines(lines);
    EXPECT_TRUE(withoutClear.copyButton()->isVisible());
    EXPECT_FALSE(withoutClear.clearButton()->isVisible());

    withClear.setLogLines(lines);
    EXPECT_TRUE(withClear.clearButton()->isVisible());
    EXPECT_TRUE(withClear.lines()->isVisible());
    QScrollBar *bar = withClear.lines()->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_GT(bar->maximum(), 0);

    // Reading further up, then a line arrives: back to the end.
    bar->setValue(0);
    lines << "newest";
    withClear.setLogLines(lines);
    EXPECT_EQ(bar->value(), bar->maximum());
    EXPECT_EQ(withClear.lines()->toPlainText().split('\n').size(), 101);

    // The same number of other lines leaves the view where it is.
    bar->setValue(0);
    lines.removeFirst();
    lines << "another";
    withClear.setLogLines(lines);
    EXPECT_EQ(bar->value(), 0);
    EXPECT_TRUE(withClear.lines()->toPlainText().endsWith("another"));

    withClear.clearButton()->click();
    EXPECT_TRUE(cleared);

    // A long log opened by the user starts at its end.
    EXPECT_FALSE(withoutClear.isExpanded());
    withoutClear.setExpanded(true);
    QCoreApplication::processEvents();
    QScrollBar *opened = withoutClear.lines()->verticalScrollBar();
    EXPECT_GT(opened->maximum(), 0);
    EXPECT_EQ(opened->value(), opened->maximum());
}

} // namespace
} // namespace cordavelle
