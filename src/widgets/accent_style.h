#pragma once

#include <QColor>
#include <QPushButton>

#include <optional>

namespace cordavelle {

// How much of the accent colour fills a primary button: faint while disabled (also while held
// down), lighter while pressed, full otherwise.
double accentFillOpacity(bool enabled, bool pressed);

// The filled, accent-coloured button of the primary actions: white label, 12 points of padding
// left and right, 5 at top and bottom, on a rounded rectangle of radius 6. The accent is the
// palette's highlight colour unless a tint is set.
class AccentButton final : public QPushButton {
    Q_OBJECT
public:
    explicit AccentButton(const QString &text = {}, QWidget *parent = nullptr);

    void setTint(std::optional<QColor> tint);
    std::optional<QColor> tint() const { return m_tint; }
    // The colour of the background as drawn now.
    QColor fillColour() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::optional<QColor> m_tint;
};

} // namespace cordavelle
