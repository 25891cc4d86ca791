#include "placeholder_views.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace cordavelle {

namespace {

QLabel *heading(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 1.5);
    font.setBold(true);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    return label;
}

QLabel *line(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

} // namespace

PlaceholderView::PlaceholderView(const QString &headingText, const QString &text, QWidget *parent) : QWidget(parent)
{
    auto *layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->addWidget(heading(headingText, this));
    layout->addWidget(line(text, this));
    layout->addStretch();
}

PlaceholderWizardDialog::PlaceholderWizardDialog(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("setupWizard"));
    setWindowTitle(QStringLiteral("Cordavelle Helper Setup"));
    resize(520, 360);
    auto *layout = new QVBoxLayout(this);
    layout->addStretch();
    layout->addWidget(heading(QStringLiteral("Welcome to Cordavelle Helper"), this));
    layout->addWidget(line(QStringLiteral("Guided setup is not available in this version. Set up each service "
                                          "on its page in the management window."),
                           this));
    layout->addStretch();
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QWidget *makeSettingsPlaceholder(QWidget *parent)
{
    return new PlaceholderView(QStringLiteral("Settings"),
                               QStringLiteral("The helper's settings will appear here."), parent);
}

} // namespace cordavelle
