#pragma once

#include <QWidget>

namespace cordavelle {

// The small white "Beta" tag on an orange capsule beside an experimental feature's switch.
class BetaBadge final : public QWidget {
    Q_OBJECT
public:
    explicit BetaBadge(QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;
};

} // namespace cordavelle
