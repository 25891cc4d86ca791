#pragma once

#include <QString>

class QHBoxLayout;
class QWidget;

namespace cordavelle {

// A row of the welcome and features lists: a blue symbol in a 32-point column, so that every
// row's title starts at the same place, then a bold title over a secondary description.
struct WizardRowLook {
    // Whether the symbol sits at the top of the row (a long description wraps under the title)
    // or in its middle.
    bool topAligned = true;
    int lineSpacing = 4;
    // The description in caption type; subheadline otherwise.
    bool captionDescription = false;
};
// The row's layout, for a page that adds a control after the texts.
QHBoxLayout *wizardTextRow(QWidget *row, const QString &symbol, const QString &title, const QString &description,
                           const WizardRowLook &look);

} // namespace cordavelle
