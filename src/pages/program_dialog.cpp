#include "pages/program_dialog.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QLabel>

#include <vector>

namespace cordavelle {

std::unique_ptr<QFileDialog> makeProgramDialog(QWidget *parent, const QString &title, const QString &message,
                                               const QString &folder)
{
    auto dialog = std::make_unique<QFileDialog>(parent, title, folder);
    // The dialog's own widgets, so that the help can stand on a line of its own above them.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setFilter(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (auto *grid = qobject_cast<QGridLayout *>(dialog->layout())) {
        // Every part moves one row down to make room for the help at the top.
        struct Placed {
            QLayoutItem *item;
            int row, column, rowSpan, columnSpan;
        };
        std::vector<Placed> placed;
        while (grid->count() > 0) {
            Placed p{};
            grid->getItemPosition(0, &p.row, &p.column, &p.rowSpan, &p.columnSpan);
            p.item = grid->takeAt(0);
            placed.push_back(p);
        }
        for (const Placed &p : placed) {
            grid->addItem(p.item, p.row + 1, p.column, p.rowSpan, p.columnSpan);
        }
        auto *help = new QLabel(message);
        help->setObjectName(QStringLiteral("programDialogHelp"));
        help->setTextFormat(Qt::PlainText);
        help->setWordWrap(true);
        grid->addWidget(help, 0, 0, 1, grid->columnCount());
    }
    return dialog;
}

} // namespace cordavelle
