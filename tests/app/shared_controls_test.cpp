#include "app/accent_style.h"
#include "app/lifecycle_picker.h"
#include "app/log_viewer.h"
#include "app/port_field.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QToolButton>
#include <QValidator>

#include <gtest/gtest.h>

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

TEST(PortField, AcceptsOnlyPortsWrittenInPlainDigits)
{
    const std::pair<const char *, std::optional<int>> cases[] = {
        {"8380", 8380}, {" 4532 ", 4532}, {"1", 1},      {"65535", 65535}, {"0", std::nullopt},
        {"65536", std::nullopt}, {"8.380", std::nullopt}, {"8,380", std::nullopt}, {"-1", std::nullopt},
        {"+80", std::nullopt}, {"", std::nullopt}, {"99999999999", std::nullopt}, {"٨٣٨٠", std::nullopt},
    };
    for (const auto &[text, port] : cases) {
        EXPECT_EQ(parsePort(QString::fromUtf8(text)), port) << text;
    }
}

TEST(PortField, ShowsWithoutGroupingAndRefusesPortsOutOfRange)
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    PortField field("API Port", 8380);
    QLocale::setDefault(previous);
    EXPECT_EQ(field.lineEdit()->text(), "8380");

    QList<int> reported;
    QObject::connect(&field, &PortField::portEdited, [&](int port) { reported << port; });
    QString typed = "70000";
    int cursor = 5;
    EXPECT_EQ(field.lineEdit()->validator()->validate(typed, cursor), QValidator::Invalid);
    typed = "0";
    EXPECT_EQ(field.lineEdit()->validator()->validate(typed, cursor), QValidator::Intermediate);

    // The user's edit is reported; "0" is not, and leaving the field puts the last port back.
    field.lineEdit()->setText("4533");
    Q_EMIT field.lineEdit()->textEdited("4533");
    field.lineEdit()->setText("0");
    Q_EMIT field.lineEdit()->textEdited("0");
    EXPECT_EQ(reported, QList<int>({4533}));
    Q_EMIT field.lineEdit()->returnPressed();
    EXPECT_EQ(field.lineEdit()->text(), "4533");

    // Showing the model's value reports nothing.
    field.setPort(8001);
    EXPECT_EQ(field.lineEdit()->text(), "8001");
    EXPECT_EQ(reported.size(), 1);
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
