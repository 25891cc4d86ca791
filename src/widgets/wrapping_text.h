#pragma once

#include "widgets/status_look.h"

#include <QString>
#include <QTextEdit>

namespace cordavelle {

// A plain text in one tone that wraps like a word-wrapping label, but breaks a word longer than
// the line inside it (a digest, a path) instead of growing as wide as that word: a label's
// narrowest is its longest word, and one such word in an error pushed the page's buttons out of
// the window. The text stays whole and selectable, to copy or compare.
class WrappingText final : public QTextEdit {
    Q_OBJECT
public:
    explicit WrappingText(QWidget *parent = nullptr);

    void setToneText(const QString &text, Tone tone);
    QString text() const { return toPlainText(); }

    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
};

} // namespace cordavelle
