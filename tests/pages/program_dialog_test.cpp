#include "pages/program_dialog.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(ProgramDialog, TheHelpStandsAboveTheFolderBoxWhichKeepsItsOwnLabel)
{
    const auto dialog = makeProgramDialog("Choose a rigctld binary", "Pick the rigctld executable.", "/");
    EXPECT_EQ(dialog->windowTitle(), "Choose a rigctld binary");
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
    EXPECT_TRUE(dialog->filter() & QDir::Hidden);

    auto *help = dialog->findChild<QLabel *>("programDialogHelp");
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->text(), "Pick the rigctld executable.");
    auto *grid = qobject_cast<QGridLayout *>(dialog->layout());
    ASSERT_NE(grid, nullptr);
    int row = -1, column = -1, rowSpan = 0, columnSpan = 0;
    grid->getItemPosition(grid->indexOf(help), &row, &column, &rowSpan, &columnSpan);
    EXPECT_EQ(row, 0);
    EXPECT_EQ(columnSpan, grid->columnCount());
    EXPECT_EQ(dialog->labelText(QFileDialog::LookIn), QFileDialog().labelText(QFileDialog::LookIn));
}

} // namespace
} // namespace cordavelle
