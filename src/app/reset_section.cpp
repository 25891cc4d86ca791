#include "reset_section.h"

#include "widgets/alert_presenter.h"
#include "widgets/form_parts.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace cordavelle {

namespace {

QLabel *boldCaption(const QString &text)
{
    auto *label = captionLabel(text, Tone::secondary);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    label->setPalette(QPalette());
    return label;
}

} // namespace

ResetResultSheet::ResetResultSheet(const ResetSheet &sheet, QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("resetResultSheet"));
    setWindowTitle(sheet.title);
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(400);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);

    auto *header = new QHBoxLayout;
    header->setSpacing(12);
    header->addWidget(symbolLabel(sheet.symbol, sheet.symbolTone, 28));
    auto *title = new QLabel;
    title->setTextFormat(Qt::PlainText);
    title->setText(sheet.title);
    QFont titleFont = textStyle::headline(title->font());
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.15);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    header->addWidget(title, 1);
    column->addLayout(header);
    column->addWidget(divider());

    auto *entries = new QVBoxLayout;
    entries->setSpacing(6);
    for (const ResetSheet::Entry &entry : sheet.entries) {
        auto *row = new QHBoxLayout;
        row->addWidget(symbolLabel(entry.symbol, Tone::secondary, 16), 0, Qt::AlignTop);
        auto *texts = new QVBoxLayout;
        texts->setSpacing(2);
        if (entry.lines.isEmpty()) {
            auto *text = captionLabel(entry.text);
            text->setPalette(QPalette());
            texts->addWidget(text);
        } else {
            texts->addWidget(boldCaption(entry.text));
            for (const QString &line : entry.lines) {
                auto *path = captionLabel(line);
                path->setFont(textStyle::monospaced(path->font()));
                path->setTextInteractionFlags(Qt::TextSelectableByMouse);
                texts->addWidget(path);
            }
        }
        row->addLayout(texts, 1);
        entries->addLayout(row);
    }
    column->addLayout(entries);

    if (!sheet.warnings.isEmpty()) {
        column->addWidget(divider());
        auto *warnings = new QVBoxLayout;
        warnings->setSpacing(4);
        warnings->addWidget(boldCaption(QStringLiteral("Warnings:")));
        for (const QString &warning : sheet.warnings) {
            warnings->addWidget(captionLabel(warning, Tone::orange));
        }
        column->addLayout(warnings);
    }
    if (sheet.wasFullReset) {
        column->addWidget(divider());
        auto *note = captionLabel(QStringLiteral("The Helper will quit when you dismiss this dialog."));
        QFont italic = note->font();
        italic.setItalic(true);
        note->setFont(italic);
        column->addWidget(note);
    }
    auto *bottom = new QHBoxLayout;
    bottom->addStretch();
    m_button = new QPushButton(sheet.buttonLabel);
    m_button->setDefault(true);
    m_button->setAutoDefault(true);
    connect(m_button, &QPushButton::clicked, this, &QDialog::accept);
    bottom->addWidget(m_button);
    column->addLayout(bottom);
}

ResetSection::ResetSection(ResetSectionModel &model, AlertPresenter &alerts, QString prefixPath, QString home,
                           QWidget *parent)
    : QGroupBox(QStringLiteral("Reset"), parent), m_model(model), m_alerts(alerts), m_prefixPath(std::move(prefixPath)),
      m_home(std::move(home))
{
    auto *column = new QVBoxLayout(this);
    column->setSpacing(12);
    for (const ResetLevel level : EnumTraits<ResetLevel>::cases) {
        auto *row = new QHBoxLayout;
        auto *texts = new QVBoxLayout;
        texts->setSpacing(2);
        auto *title = new QLabel;
        title->setTextFormat(Qt::PlainText);
        title->setText(reset_texts::title(level));
        texts->addWidget(title);
        texts->addWidget(captionLabel(reset_texts::subtitle(level)));
        row->addLayout(texts, 1);
        auto *button = new QPushButton(reset_texts::title(level));
        if (level == ResetLevel::everything) {
            paintDestructive(*button);
        }
        connect(button, &QPushButton::clicked, this, [this, level] { ask(level); });
        m_buttons[level] = button;
        row->addWidget(button, 0, Qt::AlignVCenter);
        column->addLayout(row);
    }
    column->addSpacing(4);
    column->addWidget(captionLabel(reset_texts::kFooter));
    connect(&m_model, &ResetSectionModel::changed, this, &ResetSection::refresh);
    refresh();
}

void ResetSection::ask(ResetLevel level)
{
    m_model.request(level);
    if (m_model.state() != ResetSectionModel::State::confirming) {
        return;
    }
    const QPointer<ResetSection> self(this);
    const int answer = m_alerts.present(reset_texts::confirmationAlert(level, displayPath(m_prefixPath, m_home)), this);
    // The settings window, and its model with it, may have gone while the question was up.
    if (!self) {
        return;
    }
    if (answer == 0) {
        m_model.confirm();
    } else {
        m_model.cancel();
    }
}

void ResetSection::refresh()
{
    for (const auto &[level, button] : m_buttons) {
        button->setEnabled(m_model.buttonsEnabled());
    }
    if (m_model.state() == ResetSectionModel::State::result && !m_sheet && m_model.report()) {
        m_sheet = new ResetResultSheet(resetSheet(*m_model.report(), m_model.wasFullReset(), m_home), window());
        m_sheet->setAttribute(Qt::WA_DeleteOnClose);
        // Closed by its button, by Escape or by the window manager: each counts as the dismissal.
        connect(m_sheet, &QDialog::finished, &m_model, &ResetSectionModel::dismiss);
        m_sheet->open();
    }
}

} // namespace cordavelle
