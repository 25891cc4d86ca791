#pragma once

#include "widgets/status_look.h"

#include <QLabel>
#include <QString>

class QFrame;
class QGroupBox;
class QHBoxLayout;
class QScrollArea;
class QVBoxLayout;
class QWidget;

namespace cordavelle {

// A text on at most `lines` lines, broken at spaces, cut in the middle when it does not fit (a
// command line, a path); the whole of it is the tooltip.
class MiddleElidedLabel final : public QLabel {
public:
    explicit MiddleElidedLabel(int lines, QWidget *parent = nullptr) : QLabel(parent), m_lines(lines) {}

    void setFullText(const QString &text);

    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void elide();

    int m_lines;
    QString m_full;
};

// A plain-text label in the caption font and `tone`, wrapping.
QLabel *captionLabel(const QString &text, Tone tone = Tone::secondary, QWidget *parent = nullptr);
// Shows `text` as plain text in the colour of `tone`.
void setToneText(QLabel *label, const QString &text, Tone tone);
// The words `text` shows once its markup is rendered (Markdown's emphasis and code spans, HTML's
// tags and entities), as a screen reader should read them; plain text comes back as it is.
// Qt::AutoText is taken as HTML where Qt would render it so.
QString shownWords(const QString &text, Qt::TextFormat format);
// Shows `text` rendered from `format` and names the label by the words it shows: left to itself,
// a label is read by its source, markup and all.
void setMarkedUpText(QLabel *label, const QString &text, Qt::TextFormat format);
// Shows `help` as the widget's tooltip and gives assistive technology the words it shows: the
// help texts mark commands as Markdown code spans, which a listener should not hear as backticks.
void setHelpText(QWidget *widget, const QString &help);
// A titled group of a grouped form, with a column for its rows.
QGroupBox *formSection(const QString &title);
// Fills `owner` with a frameless scroll area whose content follows its size, and returns it.
QScrollArea *fillWithScrollArea(QWidget *owner);
// Makes `page` one vertically scrolling column with the pages' margins and no spacing of its
// own, and returns that column.
QVBoxLayout *scrollingColumn(QWidget *page);
// A row or a column laid out in `owner` with no margins of its own, for controls grouped inside a
// form, a section or a page that has them; `spacing` -1 keeps the style's.
QHBoxLayout *bareRow(QWidget *owner, int spacing = -1);
QVBoxLayout *bareColumn(QWidget *owner, int spacing = -1);
// A thin horizontal line between parts of a window.
QFrame *divider();
// A symbol of the windows' design drawn at `size` in `tone`.
QLabel *symbolLabel(const QString &symbol, Tone tone, int size, QWidget *parent = nullptr);

} // namespace cordavelle
