#include "app/widget_attention.h"

#include <QWidget>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(WidgetAttention, FlashesOnlyVisibleWindows)
{
    WidgetAttention attention;
    attention.requestUserAttention(true);
    EXPECT_EQ(attention.lastAlertedWindows(), 0);

    QWidget shown;
    QWidget hidden;
    shown.show();
    attention.requestUserAttention(true);
    EXPECT_EQ(attention.lastAlertedWindows(), 1);
}

} // namespace
} // namespace cordavelle
