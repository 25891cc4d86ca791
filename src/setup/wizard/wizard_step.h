#pragma once

#include <QWidget>

namespace cordavelle {

// One page of the first-run wizard. The wizard keeps every page for as long as it is up and
// shows one at a time in its scrolling column.
class WizardStep : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

    // Run on every visit, not only the first: a page that starts work or re-reads the system
    // when it comes into view does it here.
    virtual void shown() {}
};

} // namespace cordavelle
