#pragma once

#include <QDialog>
#include <QWidget>

namespace cordavelle {

// A window body whose real page is not part of this build yet: a heading and one line.
class PlaceholderView final : public QWidget {
    Q_OBJECT
public:
    PlaceholderView(const QString &heading, const QString &text, QWidget *parent = nullptr);
};

// The first-run wizard's sheet until the wizard exists: it greets, points to the pages and
// closes. It does not mark set-up as completed; only the wizard does.
class PlaceholderWizardDialog final : public QDialog {
    Q_OBJECT
public:
    explicit PlaceholderWizardDialog(QWidget *parent = nullptr);
};

// The body of the settings window until the settings pages exist.
QWidget *makeSettingsPlaceholder(QWidget *parent = nullptr);

} // namespace cordavelle
