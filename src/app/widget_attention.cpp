#include "widget_attention.h"

#include <QApplication>
#include <QWidget>

namespace cordavelle {

void WidgetAttention::requestUserAttention(bool critical)
{
    m_lastAlerted = 0;
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget *window : windows) {
        if (window->isVisible() && window->isWindow()) {
            QApplication::alert(window, critical ? 0 : 1500);
            ++m_lastAlerted;
        }
    }
}

} // namespace cordavelle
