#include "app/application_icon.h"

#include <QImage>

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

// The built-in drawing must render, which needs both a valid SVG and Qt's SVG support at run time.
TEST(ApplicationIcon, RendersTheBuiltInDrawing)
{
    const QIcon icon = applicationIcon();
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(64, 64).toImage();
    ASSERT_FALSE(image.isNull());
    int painted = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            painted += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
        }
    }
    // The rounded square fills most of the canvas.
    EXPECT_GT(painted, image.width() * image.height() / 2);
}

} // namespace
} // namespace cordavelle
