#include "pages/program_dialog.h"

#include <QFileDialog>
#include <QGridLayout>
#include <QHeaderView>
#include <QListView>
#include <QTreeView>
#include <QLabel>

#include <vector>

namespace cordavelle {

std::unique_ptr<QFileDialog> makeProgramDialog(const QString &title, const QString &message, const QString &folder)
{
    auto dialog = std::make_unique<QFileDialog>(nullptr, title, folder);
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
    // Every column readable: the name takes the room the others leave, and the places list is
    // wide enough for its entries.
    if (auto *tree = dialog->findChild<QTreeView *>(QStringLiteral("treeView"))) {
        QHeaderView *header = tree->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(QHeaderView::ResizeToContents);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
    }
    if (auto *places = dialog->findChild<QListView *>(QStringLiteral("sidebar"))) {
        places->setMinimumWidth(places->sizeHintForColumn(0) + 2 * places->frameWidth() + 8);
    }
    dialog->resize(dialog->sizeHint().expandedTo(QSize(820, 480)));
    return dialog;
}

} // namespace cordavelle
