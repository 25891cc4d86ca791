#pragma once

#include <QWidget>

class QTimer;

namespace cordavelle {

// A bar for work whose length is not known: a short segment that keeps moving along its track
// while the bar is shown, so that it never reads as finished.
class BusyBar final : public QWidget {
    Q_OBJECT
public:
    explicit BusyBar(QWidget *parent = nullptr);

    QSize sizeHint() const override { return {40, 8}; }
    // Where the segment starts, as a fraction of the track; it moves on every tick.
    double position() const { return m_position; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    QTimer *m_timer;
    double m_position = 0.0;
};

} // namespace cordavelle
