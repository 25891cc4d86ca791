#include "widgets/close_keys.h"

#include <QKeySequence>
#include <QShortcut>
#include <QWidget>

namespace cordavelle {

void addCloseKeys(QWidget &window, bool escapeCloses)
{
    QList<QKeySequence> keys{QKeySequence(Qt::CTRL | Qt::Key_W)};
    if (escapeCloses) {
        keys << QKeySequence(Qt::Key_Escape);
    }
    for (const QKeySequence &key : keys) {
        // Within this window only: the window behind a dialog keeps its own keys.
        auto *shortcut = new QShortcut(key, &window);
        shortcut->setContext(Qt::WindowShortcut);
        QObject::connect(shortcut, &QShortcut::activated, &window, &QWidget::close);
    }
}

} // namespace cordavelle
