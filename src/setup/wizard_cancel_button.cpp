#include "setup/wizard_cancel_button.h"

#include "widgets/status_look.h"

namespace cordavelle {

WizardCancelButton::WizardCancelButton(std::function<void()> action, QWidget *parent) : QToolButton(parent)
{
    setObjectName(QStringLiteral("wizardCancelButton"));
    setAutoRaise(true);
    setToolTip(QStringLiteral("Cancel"));
    setAccessibleName(QStringLiteral("Cancel"));
    const int size = QFontMetrics(font()).height();
    setIcon(QIcon(tintedPixmap(symbolIcon(QStringLiteral("xmark.circle.fill")), size,
                               toneColour(Tone::secondary, palette()), devicePixelRatioF())));
    setIconSize(QSize(size, size));
    connect(this, &QToolButton::clicked, this, [action = std::move(action)] {
        if (action) {
            action();
        }
    });
}

} // namespace cordavelle
